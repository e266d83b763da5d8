// imagefile.h: PNG and JPEG files onto a label, and the checks made before they are decoded.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Both formats are decoded to 8-bit grey on white and placed on the label like a PDF page
// (placeGrey: shrunk to fit, centred, thresholded).  The image's size is read from its header
// and checked before any pixel buffer exists.  A decoder that runs out of memory throws
// std::bad_alloc, as the rest of the program does, so one handler reports every such case.

#pragma once

#include "labelbitmap.h"

#include <cstddef>
#include <string>
#include <vector>

namespace app {

// The largest image side decoded, in pixels: a 20000 x 20000 grey image is 400 MB already.
inline constexpr unsigned kImageSideLimit = 20000;

// True when `data` is a whole PNG file: the signature, then chunks whose lengths stay inside
// the data, up to and including IEND.  A truncated file is rejected before any decoder sees it.
bool pngIsWhole(const unsigned char* data, std::size_t length);

// A decoded image in 8-bit grey on white, width x height bytes.
struct GreyImage {
  unsigned width = 0, height = 0;
  std::vector<unsigned char> pixels;
};

// Decode a PNG or JPEG file to grey, checked as below.
bool decodePng(const unsigned char* data, std::size_t length, GreyImage& image, std::string& error);
bool decodeJpeg(const unsigned char* data, std::size_t length, GreyImage& image, std::string& error);

// Decodes a PNG file onto a label of width x height dots.  False with `error` set (a sentence
// for the job's log) when the file is damaged, truncated or too large.
bool renderPng(const unsigned char* data, std::size_t length, unsigned width, unsigned height,
               LabelBitmap& out, std::string& error);

// The same for a JPEG file (baseline or progressive; grey, YCbCr, RGB, CMYK or YCCK).  A file
// that ends before its last scan is refused as truncated rather than printed half grey.
bool renderJpeg(const unsigned char* data, std::size_t length, unsigned width, unsigned height,
                LabelBitmap& out, std::string& error);

}  // namespace app
