// barcode.h: one ZPL II barcode field drawn as the printer draws it, unrotated.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// The label renderer parses the field (its command, parameters, ^BY defaults and data after ^FH
// and serial numbering), asks for the symbol here, then turns it, places it and draws the
// human-readable lines with the label font.  Nothing here reads files or knows about labels.

#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zplrender {

// The ^BY defaults in force when the field is drawn.
struct BarcodeDefaults {
  int moduleWidth = 2;  // dots, narrow bar
  double ratio = 3.0;   // wide bar to narrow bar, 2.0 to 3.0
  int height = 10;      // dots
};

// One barcode field.  `command` is the two letters after the caret ("BC", "B3", "BQ", ...);
// `params` its parameters as written, empty where omitted, the orientation (the first one) left
// to the caller, who turns the image (^BD has none: its first is the mode).  `data` is the field data after ^FH and serial numbering.
struct BarcodeField {
  std::string command;
  std::vector<std::string> params;
  BarcodeDefaults defaults;
  std::string data;
  int dpi = 203;  // the printer's resolution: MaxiCode's fixed size, the 2D symbols' defaults
};

// A line of human-readable text, drawn by the caller with the label font: its cell's top-left
// corner in the image, the cell's height and character width in dots.
struct BarcodeText {
  int x = 0;
  int y = 0;
  int height = 0;
  int width = 0;
  std::string text;
};

// The symbol, unrotated: `width` x `height` dots, row by row, 1 black.  `baseline` is the row just
// below the bars (where ^FT places its origin).  Space for `texts` is inside the image.  A
// non-empty `error` says in words why nothing was drawn (bad data for the symbology, sizes beyond
// limits); the image is then empty.
struct BarcodeImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> dots;
  int baseline = 0;
  std::vector<BarcodeText> texts;
  std::string error;
};

// The largest symbol side drawn, in dots: a barcode wider or taller than this is refused.
inline constexpr int kMaxBarcodeDots = 32000;
// The largest symbol drawn, in dots (width times height): one byte each.
inline constexpr long kMaxBarcodeArea = 64L * 1024 * 1024;

// True for the barcode commands drawBarcode knows.
bool isBarcodeCommand(const std::string& command);

BarcodeImage drawBarcode(const BarcodeField& field);

}  // namespace zplrender
