// make_raster.cpp: writes a long label as a CUPS raster, for timing whole filter runs.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Usage: make_raster FILE WIDTH_INCHES HEIGHT_INCHES DPI
//
// One page, drawn line by line (so even a 400 inch label needs no page in memory): every six
// inches a framed block of text rows, a barcode, a dithered patch and white space, the kinds of
// line a shipping label is made of.  Written compressed, as CUPS passes raster to a filter.

#include <cups/raster.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// A small fixed pseudo-random source, so every run draws the same label.
unsigned nextRandom(unsigned& state)
{
  state = state * 1103515245u + 12345u;
  return state >> 16;
}

void setDot(std::vector<unsigned char>& line, unsigned x)
{
  if (x / 8 < line.size())
    line[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
}

void drawLine(std::vector<unsigned char>& line, unsigned y, unsigned width, unsigned dpi)
{
  std::fill(line.begin(), line.end(), 0);
  unsigned tile = 6 * dpi;
  unsigned t = y % tile;
  unsigned margin = dpi / 10;
  unsigned frame = dpi / 40 + 1;
  if (t < margin || t >= tile - margin)
    return;

  // The frame: full lines at top and bottom, edges at both sides.
  if (t < margin + frame || t >= tile - margin - frame) {
    for (unsigned x = margin; x < width - margin; x++)
      setDot(line, x);
    return;
  }
  for (unsigned x = margin; x < margin + frame; x++) {
    setDot(line, x);
    setDot(line, width - 1 - x);
  }

  unsigned inner = t - margin - frame;
  unsigned scale = dpi / 75 ? dpi / 75 : 1;
  if (inner < 2 * dpi) {
    // Text: rows of 5x7 glyphs with a glyph's worth of space between rows.
    unsigned row = inner / (10 * scale);
    unsigned glyphLine = inner % (10 * scale) / scale;
    if (glyphLine >= 7)
      return;
    for (unsigned g = 0; (g + 1) * 6 * scale + 2 * margin < width; g++) {
      unsigned seed = (row * 131 + g) * 7 + glyphLine + (y / tile) * 977;
      unsigned bits = nextRandom(seed) & 0x1F;
      for (unsigned b = 0; b < 5; b++)
        if (bits & (1u << b))
          for (unsigned s = 0; s < scale; s++)
            setDot(line, 2 * margin + (g * 6 + b) * scale + s);
    }
  } else if (inner < 3 * dpi) {
    // A barcode: the same bars on every line, modules of `scale` dots.
    unsigned seed = 4242 + y / tile;
    bool black = true;
    for (unsigned x = 3 * margin; x < width - 3 * margin;) {
      unsigned w = scale * (1 + nextRandom(seed) % 4);
      for (unsigned i = 0; i < w && x < width - 3 * margin; i++, x++)
        if (black)
          setDot(line, x);
      black = !black;
    }
  } else if (inner < 4 * dpi) {
    // A photo-like patch, dithered: a grey ramp from left to right with scattered dots.
    unsigned seed = y * 2654435761u;
    for (unsigned x = 2 * margin; x < width - 2 * margin; x++)
      if (nextRandom(seed) % width < x)
        setDot(line, x);
  }
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc != 5) {
    std::fprintf(stderr, "usage: make_raster FILE WIDTH_INCHES HEIGHT_INCHES DPI\n");
    return 1;
  }
  double widthInches = std::atof(argv[2]);
  double heightInches = std::atof(argv[3]);
  unsigned dpi = static_cast<unsigned>(std::atoi(argv[4]));
  unsigned width = static_cast<unsigned>(widthInches * dpi);
  unsigned height = static_cast<unsigned>(heightInches * dpi);
  if (width < 8 || height < 1 || dpi < 72) {
    std::fprintf(stderr, "make_raster: label too small\n");
    return 1;
  }

  int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_COMPRESSED);

  cups_page_header_t h = {};
  std::strcpy(h.MediaClass, "PwgRaster");
  h.HWResolution[0] = h.HWResolution[1] = dpi;
  h.PageSize[0] = static_cast<unsigned>(widthInches * 72);
  h.PageSize[1] = static_cast<unsigned>(heightInches * 72);
  h.NumCopies = 1;
  h.cupsWidth = width;
  h.cupsHeight = height;
  h.cupsBitsPerColor = 1;
  h.cupsBitsPerPixel = 1;
  h.cupsBytesPerLine = (width + 7) / 8;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = CUPS_CSPACE_K;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  bool ok = cupsRasterWriteHeader(ras, &h) != 0;
#pragma GCC diagnostic pop

  std::vector<unsigned char> line(h.cupsBytesPerLine);
  for (unsigned y = 0; ok && y < height; y++) {
    drawLine(line, y, width, dpi);
    ok = cupsRasterWritePixels(ras, line.data(), h.cupsBytesPerLine) == h.cupsBytesPerLine;
  }
  cupsRasterClose(ras);
  if (close(fd) != 0 || !ok) {
    std::fprintf(stderr, "make_raster: unable to write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
