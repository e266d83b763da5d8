// testdocs.h: the documents the renderer tests draw, written by the tests themselves: small
// PDFs as text, PNG files with libpng, JPEG files with libjpeg, and hostile PDFs that ask for
// more memory or time than any label needs.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <string>
#include <vector>

namespace testdocs {

// A PDF of the given objects (numbered from 1; object 1 is the catalog) with its cross
// reference table.
std::string pdfFile(const std::vector<std::string>& objects);

// A stream object: its dictionary entries, then the data.
std::string pdfStream(const std::string& entries, const std::string& data);

// Pages of a 4 x 6 in shipping label: a border, text, rules, a black box with white text, and
// bars; each page says its number, so pages differ.
std::string labelPdf(int pages);

// A 4 x 6 in page that strokes one path of `points` points (compressed: a few hundred bytes a
// million points).
std::string longPathPdf(int points);

// A page showing a JPEG 2000 image whose header declares side x side pixels (a main header,
// one tile, no image data).
std::string jpxPdf(unsigned side);

// A page showing a JBIG2 image whose page information declares side x side dots.
std::string jbig2Pdf(unsigned side);

// A page drawing form 0, which draws form 1 twice, and so on: 2^depth draws of a square.
std::string nestedFormsPdf(int depth);

// A grey image: width x height bytes, 0 black to 255 white.
struct Grey {
  unsigned width = 0, height = 0;
  std::vector<unsigned char> pixels;
};

// Black squares of `block` pixels on white, in a pattern that is not symmetric, so a turned or
// mirrored image shows.  Squares on the 8-pixel grid survive JPEG compression exactly.
Grey blocks(unsigned width, unsigned height, unsigned block);

std::string pngFile(const Grey& image);
std::string jpegFile(const Grey& image, int quality = 90);
// The same image as CMYK ink (black only); `adobe` writes Adobe's marker and inverted inks, as
// Photoshop does.
std::string cmykJpegFile(const Grey& image, bool adobe);

}  // namespace testdocs
