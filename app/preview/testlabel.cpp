// testlabel.cpp: the built-in test label.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "testlabel.h"

#include "preview.h"

#include <algorithm>

namespace app {
namespace {

void setDot(LabelBitmap& label, unsigned x, unsigned y)
{
  label.bits[static_cast<std::size_t>(y) * label.bytesPerLine + x / 8] |=
      static_cast<unsigned char>(0x80 >> (x % 8));
}

// One band of the label: dots x0 <= x < x1, y0 <= y < y1.
struct Band {
  unsigned x0, x1, y0, y1;
};

// Four groups side by side, bars 1 to 4 dots wide with gaps as wide; `across` draws bars
// across the feed (rows), else along it (columns).  A gap of `space` dots ends each group.
void drawBars(LabelBitmap& label, const Band& band, bool across, unsigned space)
{
  unsigned groupWidth = (band.x1 - band.x0) / 4;
  for (unsigned group = 0; group < 4 && groupWidth > space; group++) {
    unsigned thickness = group + 1;
    unsigned left = band.x0 + group * groupWidth;
    for (unsigned y = band.y0; y < band.y1; y++) {
      for (unsigned x = left; x < left + groupWidth - space; x++) {
        unsigned along = across ? y - band.y0 : x - left;
        if ((along / thickness) % 2 == 0)
          setDot(label, x, y);
      }
    }
  }
}

}  // namespace

unsigned labelDots(int hundredthsMm, int dpi)
{
  if (hundredthsMm <= 0 || dpi <= 0)
    return 0;
  return static_cast<unsigned>(static_cast<long long>(hundredthsMm) * dpi / 2540);
}

LabelBitmap testLabel(unsigned width, unsigned height, int dpi)
{
  LabelBitmap label = blankBitmap(width, height);
  if (width == 0 || height == 0)
    return label;

  // About a millimetre: the frame's width and the space between the bands.
  unsigned unit = static_cast<unsigned>(std::max(1, dpi / 25));
  for (unsigned y = 0; y < height; y++) {
    for (unsigned x = 0; x < width; x++) {
      if (x < unit || y < unit || x + unit >= width || y + unit >= height)
        setDot(label, x, y);
    }
  }
  if (width <= 4 * unit || height <= 4 * unit)
    return label;

  // Inside the frame, four bands from the top: bars along the feed, a solid band, bars across
  // the feed, a chequer.
  unsigned x0 = 2 * unit, x1 = width - 2 * unit, y0 = 2 * unit, y1 = height - 2 * unit;
  unsigned bandHeight = (y1 - y0) / 4;
  for (unsigned band = 0; band < 4 && bandHeight > unit; band++) {
    Band b{x0, x1, y0 + band * bandHeight, y0 + (band + 1) * bandHeight - unit};
    if (band == 0 || band == 2) {
      drawBars(label, b, band == 2, unit);
      continue;
    }
    // The solid band is three millimetres at most: enough to show a dead element, little heat.
    if (band == 1)
      b.y1 = std::min(b.y1, b.y0 + 3 * unit);
    unsigned square = std::max(2u, unit / 2);
    for (unsigned y = b.y0; y < b.y1; y++) {
      for (unsigned x = b.x0; x < b.x1; x++) {
        if (band == 1 || ((x - b.x0) / square + (y - b.y0) / square) % 2 == 0)
          setDot(label, x, y);
      }
    }
  }
  return label;
}

bool testLabelPng(const LabelBitmap& label, int dpi, std::string& png, std::string& error)
{
  LabelImage image;
  image.width = label.width;
  image.height = label.height;
  image.rowBytes = label.bytesPerLine;
  image.bits = label.bits;
  return labelPngBytes(image, dpi, png, error);
}

}  // namespace app
