// barcode.cpp: ZPL II barcode symbols.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "barcode.h"

namespace zplrender {

bool isBarcodeCommand(const std::string&) {
  return false;
}

BarcodeImage drawBarcode(const BarcodeField& field) {
  BarcodeImage image;
  image.error = "barcode ^" + field.command + " is not drawn";
  return image;
}

}  // namespace zplrender
