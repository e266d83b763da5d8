// labelbitmap.h: a label's 1-bit page, and grey images placed on it.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cstddef>
#include <vector>

namespace app {

// A rendered page: height rows of bytesPerLine bytes, 1 = black, the first dot in the high bit.
struct LabelBitmap {
  unsigned width = 0, height = 0, bytesPerLine = 0;
  std::vector<unsigned char> bits;
};

// A white label of width x height dots.
LabelBitmap blankBitmap(unsigned width, unsigned height);

// The page on a white label of width x height dots, from its top left corner.  False, and
// `out` untouched, when the page is wider or longer than the label.
bool padToLabel(const LabelBitmap& page, unsigned width, unsigned height, LabelBitmap& out);

// Puts a grey image (0 black to 255 white, `stride` bytes a row) on a label of width x height
// dots: scaled down to fit when larger (nearest pixel), centred, thresholded at 128.
void placeGrey(const unsigned char* grey, unsigned imageWidth, unsigned imageHeight,
               std::size_t stride, unsigned width, unsigned height, LabelBitmap& out);

}  // namespace app
