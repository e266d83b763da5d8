// symbols.h: the parts of the barcode symbols shared between this directory's files.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Not for the label renderer: it sees barcode.h alone.  The tests reach these to check the
// codewords the printer would choose without going through a drawing.

#pragma once

#include "barcode.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct zint_symbol;

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

// ---- Field parameters (draw.cpp) --------------------------------------------------------------

// Parameter `i` as written, spaces trimmed; empty when omitted.
std::string param(const BarcodeField& f, std::size_t i);
// A Y/N parameter; anything else leaves the default.
bool flag(const BarcodeField& f, std::size_t i, bool def);
// A whole number in [lo, hi]; empty, malformed or out of range gives the default.
int number(const BarcodeField& f, std::size_t i, int def, int lo, int hi);
int moduleWidth(const BarcodeField& f);
// The bar height of parameter `i`, ^BY's without it.
int barHeight(const BarcodeField& f, std::size_t i);
// A wide element of the ^BY ratio in whole dots.
int wideWidth(const BarcodeField& f);
// The 2D module size that follows the resolution: 1 at 150 dpi, 2 at 200, 3 at 300, 6 at 600.
int resolutionDefault(const BarcodeField& f);
// True for data of digits alone, at least one.  The digits of `data`; and those cut to `n` or
// filled with zeros on the left.
bool numeric(std::string_view data);
std::string digitsOnly(std::string_view data);
std::string productDigits(std::string_view data, std::size_t n);

// ---- Images (draw.cpp) ---------------------------------------------------------------------------

BarcodeImage failure(std::string why);
// True when a width x height image is within the limits; the refusal that says so otherwise.
bool fits(long width, long height);
BarcodeImage tooLarge(long width, long height);
// A white image; a black rectangle in it, clipped.
void blank(BarcodeImage& image, int width, int height);
void fill(BarcodeImage& image, int x, int y, int w, int h);

// How the interpretation line goes with a symbol.
struct Line {
  bool show = false;
  bool above = false;
  std::string text;
};

// The interpretation line's cell for a module width.
int cellWidth(int module);
int cellHeight(int module);

// A linear symbol from its element widths in dots (bar first), `height` tall, with its line
// centred above or below.
BarcodeImage linearImage(const std::vector<int>& elements, int height, const Line& line,
                         int module);
// Element widths in modules of one row of modules (bar first; a leading space after an empty bar).
std::vector<int> runsOf(const std::vector<std::uint8_t>& row);

// ---- libzint (draw.cpp) --------------------------------------------------------------------------

struct ZintDeleter {
  void operator()(zint_symbol* s) const;
};
using ZintPtr = std::unique_ptr<zint_symbol, ZintDeleter>;

// What libzint is asked to code: the symbology, its data and options, the MaxiCode primary
// message, a structured append, and the symbology's name for messages.
struct ZintRequest {
  int symbology = 0;
  std::string data;
  int option1 = -1;
  int option2 = 0;
  int option3 = 0;
  int inputMode = 0;  // DATA_MODE
  std::string primary;
  int appendIndex = 0;
  int appendCount = 0;
  std::string appendId;
  const char* name = "";
};

// The module matrix libzint makes: rows of 0/1 modules and each row's height in modules (0 for
// a single row of no fixed height), its human-readable text, the symbol itself; or an error.
struct Modules {
  std::vector<std::vector<std::uint8_t>> rows;
  std::vector<float> heights;
  std::string text;
  std::string error;
  ZintPtr symbol;
};

Modules encode(const ZintRequest& req);

// A matrix of modules drawn `moduleW` dots wide, each row `rowHeights[i]` dots tall; square
// modules `module` dots a side.
BarcodeImage matrixImage(const Modules& m, int moduleW, const std::vector<int>& rowHeights);
BarcodeImage squareMatrix(const Modules& m, int module);

// ---- The symbologies (linear.cpp, matrix.cpp) ------------------------------------------------------

BarcodeImage code128(const BarcodeField& f);
BarcodeImage code39(const BarcodeField& f);
BarcodeImage code93(const BarcodeField& f);
BarcodeImage interleaved2of5(const BarcodeField& f);
BarcodeImage ean(const BarcodeField& f, int kind);  // 13 or 8
BarcodeImage upcA(const BarcodeField& f);
BarcodeImage upcE(const BarcodeField& f);
BarcodeImage postal(const BarcodeField& f);
BarcodeImage qrCode(const BarcodeField& f);
BarcodeImage dataMatrix(const BarcodeField& f);
BarcodeImage pdf417(const BarcodeField& f);
BarcodeImage aztec(const BarcodeField& f);
BarcodeImage dataBar(const BarcodeField& f);
BarcodeImage maxiCode(const BarcodeField& f);

}  // namespace zplrender::barcodes
