// testlabel.h: the built-in test label, drawn at the printer's resolution and label size.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// A frame on the label's edge shows where the label sits; bars one to four dots wide, across
// and along the feed, show single dots and the darkness; a solid band shows a dead print-head
// element as a white line; a chequer shows the grey a fine pattern makes.  No text, so no
// font is needed.

#pragma once

#include "labelbitmap.h"

#include <string>

namespace app {

// Dots along a label side of `hundredthsMm` (1/100 mm) at `dpi`, rounded down, as the
// raster pages of a job of that size have.
unsigned labelDots(int hundredthsMm, int dpi);

// The test label of a width x height dot label at `dpi`.  An empty bitmap for a size of 0.
LabelBitmap testLabel(unsigned width, unsigned height, int dpi);

// The bitmap as a 1-bit greyscale PNG carrying `dpi`; false with `error` set when it cannot
// be made.
bool testLabelPng(const LabelBitmap& label, int dpi, std::string& png, std::string& error);

}  // namespace app
