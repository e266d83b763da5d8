// labelbitmap.cpp: blank labels, and grey images thresholded onto them.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "labelbitmap.h"

#include <algorithm>
#include <cstddef>
#include <utility>

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

bool padToLabel(const LabelBitmap& page, unsigned width, unsigned height, LabelBitmap& out)
{
  if (page.width > width || page.height > height)
    return false;
  LabelBitmap padded = blankBitmap(width, height);
  // Rows are whole bytes of the page's dots; its bits past its width are white already.
  for (unsigned y = 0; y < page.height; y++)
    std::copy_n(page.bits.begin() + static_cast<std::ptrdiff_t>(y) * page.bytesPerLine,
                std::min(page.bytesPerLine, padded.bytesPerLine),
                padded.bits.begin() + static_cast<std::ptrdiff_t>(y) * padded.bytesPerLine);
  out = std::move(padded);
  return true;
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
  unsigned columns = std::min(shownWidth, width - left);
  unsigned rows = std::min(shownHeight, height - top);
  // The image column under each dot of a row (nearest pixel), worked out once for all rows.
  std::vector<std::size_t> sourceX(columns);
  for (unsigned x = 0; x < columns; x++)
    sourceX[x] = static_cast<std::size_t>(std::min<double>(imageWidth - 1, x / scale));
  for (unsigned y = 0; y < rows; y++) {
    auto sourceY = static_cast<std::size_t>(std::min<double>(imageHeight - 1, y / scale));
    const unsigned char* source = grey + sourceY * stride;
    unsigned char* row = out.bits.data() + static_cast<std::size_t>(top + y) * out.bytesPerLine;
    auto black = [&](unsigned x) { return source[sourceX[x]] < 128 ? 1u : 0u; };
    // The dots up to a byte boundary one by one, then eight dots to a byte (1 = black), then
    // the rest of the row.
    unsigned x = 0, dot = left;
    for (; x < columns && (dot & 7) != 0; x++, dot++)
      row[dot >> 3] |= static_cast<unsigned char>(black(x) << (7 - (dot & 7)));
    for (; x + 8 <= columns; x += 8, dot += 8) {
      unsigned bits = 0;
      for (unsigned k = 0; k < 8; k++)
        bits = (bits << 1) | black(x + k);
      row[dot >> 3] = static_cast<unsigned char>(bits);
    }
    for (; x < columns; x++, dot++)
      row[dot >> 3] |= static_cast<unsigned char>(black(x) << (7 - (dot & 7)));
  }
}

}  // namespace app
