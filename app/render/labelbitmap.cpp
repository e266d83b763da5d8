// labelbitmap.cpp: blank labels, and grey images thresholded onto them.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "labelbitmap.h"

#include <algorithm>

namespace app {

LabelBitmap blankBitmap(unsigned width, unsigned height)
{
  LabelBitmap bitmap;
  bitmap.width = width;
  bitmap.height = height;
  bitmap.bytesPerLine = (width + 7) / 8;
  bitmap.bits.assign(static_cast<std::size_t>(bitmap.bytesPerLine) * height, 0);
  return bitmap;
}

void placeGrey(const unsigned char* grey, unsigned imageWidth, unsigned imageHeight,
               std::size_t stride, unsigned width, unsigned height, LabelBitmap& out)
{
  out = blankBitmap(width, height);
  if (imageWidth == 0 || imageHeight == 0 || width == 0 || height == 0)
    return;

  // Label dots per image pixel, at most 1: a larger image is shrunk to fit.
  double scale = std::min({1.0, static_cast<double>(width) / imageWidth,
                           static_cast<double>(height) / imageHeight});
  unsigned shownWidth = std::max(1u, static_cast<unsigned>(imageWidth * scale));
  unsigned shownHeight = std::max(1u, static_cast<unsigned>(imageHeight * scale));
  unsigned left = (width - std::min(width, shownWidth)) / 2;
  unsigned top = (height - std::min(height, shownHeight)) / 2;
  for (unsigned y = 0; y < shownHeight && top + y < height; y++) {
    auto sourceY = static_cast<std::size_t>(std::min<double>(imageHeight - 1, y / scale));
    const unsigned char* source = grey + sourceY * stride;
    unsigned char* row = out.bits.data() + static_cast<std::size_t>(top + y) * out.bytesPerLine;
    for (unsigned x = 0; x < shownWidth && left + x < width; x++) {
      auto sourceX = static_cast<std::size_t>(std::min<double>(imageWidth - 1, x / scale));
      if (source[sourceX] < 128) {
        unsigned dot = left + x;
        row[dot >> 3] |= static_cast<unsigned char>(0x80 >> (dot & 7));
      }
    }
  }
}

}  // namespace app
