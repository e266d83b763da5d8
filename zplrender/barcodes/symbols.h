// symbols.h: the parts of the barcode symbols shared between this directory's files.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Not for the label renderer: it sees barcode.h alone.  The tests reach these to check the
// codewords the printer would choose without going through a drawing.

#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zplrender::barcodes {

// Code 128 function characters in a token stream of data characters (0-255).
inline constexpr int kFnc1 = -1;
inline constexpr int kFnc2 = -2;
inline constexpr int kFnc3 = -3;
inline constexpr int kFnc4 = -4;

// A Code 128 symbol as codeword values: start, data, check, stop (106); the human-readable line;
// or an error in words.
struct Code128Symbol {
  std::vector<int> codewords;
  std::string text;
  std::string error;
};

// The codewords ZPL's ^BC sends for `data` in `mode` (N, U, A or D), with the UCC mod 10 check
// digit appended when `uccCheckDigit` is set.
Code128Symbol encodeCode128(std::string_view data, char mode, bool uccCheckDigit);

// Element widths in modules (bar, space, bar, ...) of a whole Code 128 symbol.
std::vector<int> code128Elements(const std::vector<int>& codewords);

// The GS1 mod 10 check digit of a string of digits ('0'..'9').
char gs1CheckDigit(std::string_view digits);

// GS1 element strings: the number of digits of the application identifier at the head of
// `digits`, and the whole length (identifier and data) of those with a predefined length, or 0.
int gs1AiDigits(std::string_view digits);
int gs1PredefinedLength(std::string_view digits);

// GS1 data as written in barcodes (identifiers run on, a variable-length field ended by GS
// (0x1D) unless it is the last) turned into "[AI]data" elements; empty when it does not parse.
std::string gs1Bracketed(std::string_view raw);

}  // namespace zplrender::barcodes
