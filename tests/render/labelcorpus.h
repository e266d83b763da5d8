// labelcorpus.h: shipping and product labels as people get them: PDFs laid out for labels or
// office paper, their barcodes made by libzint, for the placement tests and the benchmark.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <string>
#include <vector>

namespace corpus {

// A barcode a label carries, as a reader should give it back.
struct Code {
  int symbology;    // libzint's BARCODE_...
  std::string data;  // as encoded (GS1 with its application identifiers in brackets)
  double module;     // the narrowest bar or cell, in points
};

// One label's look: its size in points, its text and its codes (the first a linear code at
// the bottom, the second a 2D code at the top right, when there are two).
struct Label {
  double width = 288, height = 432;
  std::vector<std::string> lines;
  std::vector<Code> codes;
};

// A 4 x 6 in (or other) shipping label with a Code 128 of `module` points and a 2D code.
Label shippingLabel(int number, int twoD, double module = 0.38 / 25.4 * 72);

// A PDF page under construction.
struct Page {
  double width = 612, height = 792;  // MediaBox
  std::string extra;                 // more page entries: "/Rotate 90", "/CropBox [...]"
  std::string content;
  std::vector<std::string> images;   // image XObjects' objects, named /Im0, /Im1, ...
};

// Draws `label` on `page` with its bottom-left corner at (x, y), turned a quarter
// counter-clockwise when `turned` (then it takes label.height across and label.width up).
void drawLabel(Page& page, const Label& label, double x, double y, bool turned = false);

// A column of instructions, as carriers print beside a label: a heading and lines of text,
// a dashed fold line, in the box from (x, y) of width x height.
void drawInstructions(Page& page, double x, double y, double width, double height);

// A grey image (0 black, 255 white) drawn as an image XObject filling the box.
void drawImage(Page& page, const std::vector<unsigned char>& grey, unsigned pixelsWide,
               unsigned pixelsHigh, double x, double y, double width, double height);

std::string pdfOf(const std::vector<Page>& pages);

}  // namespace corpus
