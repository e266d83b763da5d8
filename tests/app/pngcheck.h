// pngcheck.h: PNG files decoded with libpng and compared with 1-bit label bitmaps, for the
// preview tests.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <png.h>

#include <cstring>
#include <string>
#include <vector>

namespace pngcheck {

// A PNG decoded to one grey byte a dot (0 black); empty when it cannot be decoded.
struct Grey {
  unsigned width = 0, height = 0;
  std::vector<unsigned char> dots;
};

inline Grey decodePng(const std::string& png)
{
  Grey grey;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size()))
    return grey;
  image.format = PNG_FORMAT_GRAY;
  grey.dots.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, grey.dots.data(), 0, nullptr)) {
    grey.width = image.width;
    grey.height = image.height;
  } else {
    png_image_free(&image);
    grey.dots.clear();
  }
  return grey;
}

// Dots where the decoded image and a 1-bit bitmap (1 black, bit 7 leftmost) differ; more than
// all of them when their sizes differ.
inline std::size_t differingDots(const Grey& grey, unsigned width, unsigned height,
                                 std::size_t rowBytes, const std::vector<unsigned char>& bits)
{
  if (grey.width != width || grey.height != height)
    return static_cast<std::size_t>(width) * height + 1;
  std::size_t differ = 0;
  for (unsigned y = 0; y < height; y++) {
    for (unsigned x = 0; x < width; x++) {
      bool black = (bits[y * rowBytes + x / 8] & (0x80 >> (x % 8))) != 0;
      differ += black != (grey.dots[static_cast<std::size_t>(y) * width + x] < 128);
    }
  }
  return differ;
}

}  // namespace pngcheck
