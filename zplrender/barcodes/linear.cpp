// linear.cpp: the one-row symbols: Code 128, Code 39, Code 93, Interleaved 2 of 5, EAN/UPC
// and the postal codes.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "symbols.h"

#include <cstdint>
#include <zint.h>

#include <algorithm>
#include <cmath>

namespace zplrender::barcodes {

// ---- Linear symbologies ----------------------------------------------------------------------

namespace {

std::string withoutCheck(std::string_view text, std::size_t n) {
  return std::string(text.substr(0, text.size() >= n ? text.size() - n : 0));
}

}  // namespace

// ^BCo,h,f,g,e,m
BarcodeImage code128(const BarcodeField& f) {
  std::string mode = param(f, 5);
  char m = mode.empty() ? 'N' : mode[0];
  if (m != 'N' && m != 'U' && m != 'A' && m != 'D')
    m = 'N';
  // Each codeword is 11 modules and holds at most two characters: longer data cannot fit.
  long most = 2L * (kMaxBarcodeDots / 11) + 8;
  if (static_cast<long>(f.data.size()) > most)
    return failure("Code 128 data of " + std::to_string(f.data.size()) +
                   " characters is wider than the " + std::to_string(kMaxBarcodeDots) +
                   "-dot limit");
  Code128Symbol sym = encodeCode128(f.data, m, flag(f, 4, false));
  if (!sym.error.empty())
    return failure(sym.error);
  int w = moduleWidth(f);
  std::vector<int> elements = code128Elements(sym.codewords);
  for (int& e : elements)
    e *= w;
  Line line{flag(f, 2, true), flag(f, 3, false), sym.text};
  return linearImage(elements, barHeight(f, 1), line, w);
}

namespace {

// Element widths in dots of a two-width symbology (Code 39, Interleaved 2 of 5): libzint's
// single modules are narrow elements, its wider ones take ^BY's ratio.
std::vector<int> twoWidthElements(const BarcodeField& f, const std::vector<std::uint8_t>& row) {
  std::vector<int> elements = runsOf(row);
  for (int& e : elements)
    e = e <= 1 ? e * moduleWidth(f) : wideWidth(f);
  return elements;
}

std::vector<int> scaledElements(const std::vector<std::uint8_t>& row, int module) {
  std::vector<int> elements = runsOf(row);
  for (int& e : elements)
    e *= module;
  return elements;
}

}  // namespace

// ^B3o,e,h,f,g: start and stop asterisks shown, the mod 43 digit when asked for.
BarcodeImage code39(const BarcodeField& f) {
  ZintRequest req;
  req.symbology = BARCODE_CODE39;
  req.name = "Code 39";
  req.data = f.data;
  req.option2 = flag(f, 1, false) ? 1 : 0;
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  Line line{flag(f, 3, true), flag(f, 4, false), m.text};
  return linearImage(twoWidthElements(f, m.rows.at(0)), barHeight(f, 2), line, moduleWidth(f));
}

namespace {

// Code 93 field data as ZPL writes full ASCII: & ' ( ) stand for the shift characters ($) (%)
// (/) (+), each with the character after it making one ASCII character.
std::string code93Ascii(std::string_view d) {
  std::string out;
  for (std::size_t i = 0; i < d.size(); i++) {
    char shift = d[i];
    char c = i + 1 < d.size() ? d[i + 1] : 0;
    int v = -1;
    if (shift == '&' && c >= 'A' && c <= 'Z')
      v = c - 'A' + 1;
    else if (shift == '\'' && c >= 'A' && c <= 'E')
      v = 0x1b + (c - 'A');
    else if (shift == '\'' && c >= 'F' && c <= 'J')
      v = ';' + (c - 'F');
    else if (shift == '\'' && c >= 'K' && c <= 'O')
      v = '[' + (c - 'K');
    else if (shift == '\'' && c >= 'P' && c <= 'T')
      v = '{' + (c - 'P');
    else if (shift == '\'' && c == 'U')
      v = 0;
    else if (shift == '\'' && c == 'V')
      v = '@';
    else if (shift == '\'' && c == 'W')
      v = '`';
    else if (shift == '\'' && c >= 'X' && c <= 'Z')
      v = 127;
    else if (shift == '(' && c >= 'A' && c <= 'O')
      v = '!' + (c - 'A');
    else if (shift == '(' && c == 'Z')
      v = ':';
    else if (shift == ')' && c >= 'A' && c <= 'Z')
      v = 'a' + (c - 'A');
    if (v < 0) {
      out += shift;
    } else {
      out += static_cast<char>(v);
      i++;
    }
  }
  return out;
}

}  // namespace

// ^BAo,h,f,g,e: the two check characters always coded, shown when e is Y.
BarcodeImage code93(const BarcodeField& f) {
  ZintRequest req;
  req.symbology = BARCODE_CODE93;
  req.name = "Code 93";
  req.data = code93Ascii(f.data);
  req.option2 = 1;
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  // The line shows the characters coded, controls left out, then the check characters.
  std::string text;
  for (char c : req.data)
    if (static_cast<unsigned char>(c) >= 32 && c != 127)
      text += c;
  if (flag(f, 4, false) && m.text.size() >= 2)
    text += m.text.substr(m.text.size() - 2);
  Line line{flag(f, 2, true), flag(f, 3, false), text};
  return linearImage(scaledElements(m.rows.at(0), moduleWidth(f)), barHeight(f, 1), line,
                     moduleWidth(f));
}

// ^B2o,h,f,g,e: a leading zero for an odd count, the mod 10 digit when e is Y.
BarcodeImage interleaved2of5(const BarcodeField& f) {
  ZintRequest req;
  req.symbology = BARCODE_C25INTER;
  req.name = "Interleaved 2 of 5";
  req.data = f.data;
  req.option2 = flag(f, 4, false) ? 1 : 0;
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  Line line{flag(f, 2, true), flag(f, 3, false), m.text};
  return linearImage(twoWidthElements(f, m.rows.at(0)), barHeight(f, 1), line, moduleWidth(f));
}

// ---- EAN and UPC ------------------------------------------------------------------------------

namespace {

// How an EAN/UPC symbol shows its digits: guard bar modules, and groups of digits under module
// ranges; digits outside the bars (EAN-13's first, UPC's first and last) take a cell each side.
struct EanLayout {
  std::vector<std::pair<int, int>> guards;  // module ranges [from, to)
  struct Group {
    std::size_t first, count;
    int from, to;  // module range to centre under, or -1 left / -2 right of the bars
  };
  std::vector<Group> groups;
  bool leftDigit = false;
  bool rightDigit = false;
};

EanLayout eanLayout(int kind) {
  EanLayout l;
  switch (kind) {
    case 13:
      l.guards = {{0, 3}, {45, 50}, {92, 95}};
      l.groups = {{0, 1, -1, -1}, {1, 6, 3, 45}, {7, 6, 50, 92}};
      l.leftDigit = true;
      break;
    case 12:  // UPC-A: the first and last digits' bars are as long as the guards
      l.guards = {{0, 10}, {45, 50}, {85, 95}};
      l.groups = {{0, 1, -1, -1}, {1, 5, 10, 45}, {6, 5, 50, 85}, {11, 1, -2, -2}};
      l.leftDigit = l.rightDigit = true;
      break;
    case 8:
      l.guards = {{0, 3}, {31, 36}, {64, 67}};
      l.groups = {{0, 4, 3, 31}, {4, 4, 36, 64}};
      break;
    default:  // UPC-E
      l.guards = {{0, 3}, {45, 51}};
      l.groups = {{0, 1, -1, -1}, {1, 6, 3, 45}, {7, 1, -2, -2}};
      l.leftDigit = l.rightDigit = true;
      break;
  }
  return l;
}

// An EAN/UPC symbol: guard bars reach half-way into the digits below.  `digits` are all the
// digits shown, `shownCheck` false leaves the last one out.
BarcodeImage eanImage(const BarcodeField& f, const std::vector<std::uint8_t>& row, int kind,
                      const std::string& digits, bool show, bool above, bool shownCheck,
                      int height) {
  int w = moduleWidth(f);
  int cellW = cellWidth(w), cellH = cellHeight(w);
  EanLayout l = eanLayout(kind);
  if (!show || above) {
    Line line{show, above, shownCheck ? digits : withoutCheck(digits, 1)};
    return linearImage(scaledElements(row, w), height, line, w);
  }
  int left = l.leftDigit ? cellW + w : 0;
  int right = l.rightDigit ? cellW + w : 0;
  long width = left + static_cast<long>(row.size()) * w + right;
  long totalHeight = static_cast<long>(height) + w + cellH;
  if (!fits(width, totalHeight))
    return tooLarge(width, totalHeight);
  BarcodeImage image;
  blank(image, static_cast<int>(width), static_cast<int>(totalHeight));
  for (std::size_t x = 0; x < row.size(); x++) {
    if (!row[x])
      continue;
    int mx = static_cast<int>(x);
    bool guard = std::any_of(l.guards.begin(), l.guards.end(),
                             [mx](auto g) { return mx >= g.first && mx < g.second; });
    fill(image, left + mx * w, 0, w, height + (guard ? w + cellH / 2 : 0));
  }
  image.baseline = height;
  for (const auto& g : l.groups) {
    if (g.first + g.count > digits.size() || (!shownCheck && g.first + g.count == digits.size()))
      continue;
    BarcodeText t;
    t.height = cellH;
    t.width = cellW;
    t.y = height + w;
    t.text = digits.substr(g.first, g.count);
    int n = static_cast<int>(g.count) * cellW;
    if (g.from == -1)
      t.x = 0;
    else if (g.from == -2)
      t.x = static_cast<int>(width) - cellW;
    else
      t.x = left + g.from * w + ((g.to - g.from) * w - n) / 2;
    image.texts.push_back(t);
  }
  return image;
}

}  // namespace

// ^BEo,h,f,g and ^B8o,h,f,g: 12 or 7 digits and the check digit the printer works out.
BarcodeImage ean(const BarcodeField& f, int kind) {
  std::size_t n = kind == 13 ? 12 : 7;
  ZintRequest req;
  req.symbology = BARCODE_EANX;
  req.name = kind == 13 ? "EAN-13" : "EAN-8";
  if (!numeric(f.data))
    return failure(std::string(req.name) + " data must be digits");
  req.data = productDigits(f.data, n);
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  std::string digits = req.data + gs1CheckDigit(req.data);
  return eanImage(f, m.rows.at(0), kind, digits, flag(f, 2, true), flag(f, 3, false), true,
                  barHeight(f, 1));
}

// ^BUo,h,f,g,e: 11 digits and the check digit, shown when e is Y.
BarcodeImage upcA(const BarcodeField& f) {
  ZintRequest req;
  req.symbology = BARCODE_UPCA;
  req.name = "UPC-A";
  if (!numeric(f.data))
    return failure("UPC-A data must be digits");
  req.data = productDigits(f.data, 11);
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  std::string digits = req.data + gs1CheckDigit(req.data);
  return eanImage(f, m.rows.at(0), 12, digits, flag(f, 2, true), flag(f, 3, false),
                  flag(f, 4, true), barHeight(f, 1));
}

namespace {

// UPC-E from the UPC-A manufacturer and product numbers, zero-suppressed as the standard
// allows; empty when the numbers have no UPC-E form.
std::string upcECompress(const std::string& manufacturer, const std::string& product) {
  const std::string& m = manufacturer;
  const std::string& p = product;
  if (m.substr(2, 3) == "000" || m.substr(2, 3) == "100" || m.substr(2, 3) == "200") {
    if (p.substr(0, 2) == "00")
      return m.substr(0, 2) + p.substr(2, 3) + m[2];
  } else if (m.substr(3, 2) == "00") {
    if (p.substr(0, 3) == "000")
      return m.substr(0, 3) + p.substr(3, 2) + "3";
  } else if (m[4] == '0') {
    if (p.substr(0, 4) == "0000")
      return m.substr(0, 4) + p[4] + "4";
  } else if (p.substr(0, 4) == "0000" && p[4] >= '5') {
    return m + p[4];
  }
  return {};
}

}  // namespace

// ^B9o,h,f,g,e: the UPC-A number (number system, manufacturer, product) compressed to UPC-E.
BarcodeImage upcE(const BarcodeField& f) {
  if (!numeric(f.data))
    return failure("UPC-E data must be digits");
  std::string d = digitsOnly(f.data);
  std::string system = "0";
  if (d.size() >= 11) {
    system = d.substr(0, 1);
    d = d.substr(1, 10);
  } else {
    d = productDigits(d, 10);
  }
  if (system != "0" && system != "1")
    return failure("UPC-E number system must be 0 or 1, not " + system);
  std::string six = upcECompress(d.substr(0, 5), d.substr(5, 5));
  if (six.empty())
    return failure("UPC-E cannot hold manufacturer " + d.substr(0, 5) + " with product " +
                   d.substr(5, 5));
  ZintRequest req;
  req.symbology = BARCODE_UPCE;
  req.name = "UPC-E";
  req.data = system + six;
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  std::string digits = system + six + gs1CheckDigit(system + d);
  return eanImage(f, m.rows.at(0), 6, digits, flag(f, 2, true), flag(f, 3, false),
                  flag(f, 4, true), barHeight(f, 1));
}

// ---- Postal ------------------------------------------------------------------------------------

// ^BZo,h,f,g,t: POSTNET (0), PLANET (1) or Intelligent Mail (3), bars one module wide and
// ^BY's ratio apart, the tallest bars `h` high and the others in the code's proportions.
BarcodeImage postal(const BarcodeField& f) {
  int type = number(f, 4, 0, 0, 3);
  ZintRequest req;
  req.symbology = type == 3 ? BARCODE_USPS_IMAIL : type == 1 ? BARCODE_PLANET : BARCODE_POSTNET;
  req.name = type == 3 ? "Intelligent Mail" : type == 1 ? "PLANET" : "POSTNET";
  if (type == 2)
    return failure("^BZ postal code type 2 is reserved");
  req.data = f.data;
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  int height = barHeight(f, 1);
  float total = 0;
  for (float h : m.heights)
    total += h;
  if (total <= 0)
    return failure(std::string(req.name) + " has no bar heights");
  // Rows of libzint's bar code, each as high as its share of `height`.
  std::vector<int> rowTop, rowHeight;
  float acc = 0;
  for (float h : m.heights) {
    int top = static_cast<int>(std::lround(acc / total * height));
    acc += h;
    int bottom = static_cast<int>(std::lround(acc / total * height));
    rowTop.push_back(top);
    rowHeight.push_back(bottom - top);
  }
  int w = moduleWidth(f);
  int gap = wideWidth(f);
  std::size_t columns = m.rows.at(0).size();
  std::size_t bars = (columns + 1) / 2;
  long width = static_cast<long>(bars) * w + static_cast<long>(bars - 1) * gap;
  Line line{flag(f, 2, false), flag(f, 3, false), f.data};
  int cellH = cellHeight(w);
  bool text = line.show && !line.text.empty();
  long textWidth = text ? static_cast<long>(line.text.size()) * cellWidth(w) : 0;
  long total_w = std::max(width, textWidth);
  long totalHeight = height + (text ? w + cellH : 0);
  if (!fits(total_w, totalHeight))
    return tooLarge(total_w, totalHeight);
  BarcodeImage image;
  blank(image, static_cast<int>(total_w), static_cast<int>(totalHeight));
  int top = text && line.above ? w + cellH : 0;
  for (std::size_t b = 0; b < bars; b++) {
    int x = static_cast<int>(b) * (w + gap);
    for (std::size_t r = 0; r < m.rows.size(); r++)
      if (m.rows[r][2 * b])
        fill(image, x, top + rowTop[r], w, rowHeight[r]);
  }
  image.baseline = top + height;
  if (text) {
    BarcodeText t{static_cast<int>((total_w - textWidth) / 2), line.above ? 0 : height + w, cellH,
                  cellWidth(w), line.text};
    image.texts.push_back(t);
  }
  return image;
}

}  // namespace zplrender::barcodes
