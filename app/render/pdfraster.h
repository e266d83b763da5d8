// pdfraster.h: PDF pages rendered to 1-bit label pages, for the printer application.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Poppler renders each page in 8-bit grey with anti-aliasing; a threshold at half a dot then
// makes the 1-bit rows (1 = black), so a bar covers the dots it covers at least half of and
// keeps its width.  Where a page goes on the label is placement.h's decision.

#pragma once

#include "labelbitmap.h"

#include <memory>
#include <string>
#include <vector>

namespace app {

struct PdfDocument;  // an open document (Poppler's)

struct PdfCloser {
  void operator()(PdfDocument* document) const noexcept;
};
using PdfPtr = std::unique_ptr<PdfDocument, PdfCloser>;

// Opens a PDF file; null with `error` set when it cannot be read or is locked.
PdfPtr openPdf(const std::string& path, std::string& error);

// Opens a PDF held in memory (one read from a pipe); the document keeps the data.
PdfPtr openPdfData(std::vector<char> data, std::string& error);

int pdfPageCount(const PdfDocument& document);

// Renders page `index` (from 0) onto a label of width x height dots at `dpi`: shrunk to fit
// when larger, never turned, centred.  `smooth` draws as label-render does, anti-aliased and
// thresholded at half a dot; without it every dot a shape touches is black.  False with
// `error` set when the page cannot be rendered.
bool renderPdfPage(const PdfDocument& document, int index, int dpi, unsigned width,
                   unsigned height, LabelBitmap& out, std::string& error, bool smooth = true);

// The size of page `index` in points as a viewer shows it: its CropBox, turned by its /Rotate.
// False with `error` set when the page cannot be read or has no size.
bool pdfPageSize(const PdfDocument& document, int index, double& width, double& height,
                 std::string& error);

// Draws the part of page `index` at `resolution` dpi (as pdfPageSize shows it) whose top-left
// corner is (x, y) in dots, `width` x `height` dots, into `grey` (0 black to 255 white; the
// paper around the page is white).  `smooth` draws with anti-aliasing, for a preview.
bool renderPdfArea(const PdfDocument& document, int index, double resolution, long x, long y,
                   unsigned width, unsigned height, bool smooth, std::vector<unsigned char>& grey,
                   std::string& error);

}  // namespace app
