// barcode.cpp: ZPL II barcode symbols drawn dot by dot with the printer's geometry.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// libzint encodes the symbologies (codewords, error correction, module matrices); Code 128 is
// coded here because ZPL decides its subsets itself.  Every symbol is then drawn here from its
// modules: ^BY's module width and wide-to-narrow ratio, the field's height, no quiet zone, the
// interpretation line as text cells for the caller.

#include "barcode.h"

#include "symbols.h"

#include <algorithm>
#include <iterator>

namespace zplrender {

namespace {

// The commands, each with its drawing.
struct Symbology {
  const char* command;
  BarcodeImage (*draw)(const BarcodeField&);
};

constexpr Symbology kSymbologies[] = {
    {"BC", barcodes::code128},
    {"B3", barcodes::code39},
    {"BA", barcodes::code93},
    {"BE", [](const BarcodeField& f) { return barcodes::ean(f, 13); }},
    {"B8", [](const BarcodeField& f) { return barcodes::ean(f, 8); }},
    {"BU", barcodes::upcA},
    {"B9", barcodes::upcE},
    {"B2", barcodes::interleaved2of5},
    {"BQ", barcodes::qrCode},
    {"BX", barcodes::dataMatrix},
    {"B7", barcodes::pdf417},
    {"BD", barcodes::maxiCode},
    {"BO", barcodes::aztec},
    {"BR", barcodes::dataBar},
    {"BZ", barcodes::postal},
};

}  // namespace

bool isBarcodeCommand(const std::string& command) {
  return std::any_of(std::begin(kSymbologies), std::end(kSymbologies),
                     [&](const Symbology& s) { return command == s.command; });
}

BarcodeImage drawBarcode(const BarcodeField& field) {
  for (const Symbology& s : kSymbologies)
    if (field.command == s.command) {
      BarcodeImage image = s.draw(field);
      if (!image.error.empty()) {
        image.width = image.height = image.baseline = 0;
        image.dots.clear();
        image.texts.clear();
      }
      return image;
    }
  return barcodes::failure("barcode ^" + field.command + " is not drawn");
}

}  // namespace zplrender
