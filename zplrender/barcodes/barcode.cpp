// barcode.cpp: ZPL II barcode symbols drawn dot by dot with the printer's geometry.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// libzint encodes the symbologies (codewords, error correction, module matrices); Code 128 is
// coded here because ZPL decides its subsets itself.  Every symbol is then drawn here from its
// modules: ^BY's module width and wide-to-narrow ratio, the field's height, no quiet zone, the
// interpretation line as text cells for the caller.  Interpretation line cells are 5 x 9 module
// widths (font A's cell at one dot, growing with the module as the printer's does), one module
// width away from the bars.

#include "barcode.h"

#include "symbols.h"

#include <zint.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>

namespace zplrender {

using barcodes::Code128Symbol;

namespace {

// ---- Parameters --------------------------------------------------------------------------

std::string param(const BarcodeField& f, std::size_t i) {
  if (i >= f.params.size())
    return {};
  std::string p = f.params[i];
  while (!p.empty() && p.front() == ' ')
    p.erase(p.begin());
  while (!p.empty() && p.back() == ' ')
    p.pop_back();
  return p;
}

// A Y/N parameter; anything else leaves the default.
bool flag(const BarcodeField& f, std::size_t i, bool def) {
  std::string p = param(f, i);
  if (p == "Y" || p == "y")
    return true;
  if (p == "N" || p == "n")
    return false;
  return def;
}

// A whole number in [lo, hi]; empty, malformed or out of range gives the default.
int number(const BarcodeField& f, std::size_t i, int def, int lo, int hi) {
  std::string p = param(f, i);
  if (p.empty() || p.size() > 9)
    return def;
  int v = 0;
  for (char c : p) {
    if (c < '0' || c > '9')
      return def;
    v = v * 10 + (c - '0');
  }
  return v < lo || v > hi ? def : v;
}

int moduleWidth(const BarcodeField& f) {
  return std::clamp(f.defaults.moduleWidth, 1, 100);
}

int barHeight(const BarcodeField& f, std::size_t i) {
  return number(f, i, std::clamp(f.defaults.height, 1, kMaxBarcodeDots), 1, kMaxBarcodeDots);
}

// A wide element of the ^BY ratio (2.0 to 3.0), whole dots, rounded down.
int wideWidth(const BarcodeField& f) {
  double r = std::clamp(f.defaults.ratio, 2.0, 3.0);
  return std::max(moduleWidth(f) + 1, static_cast<int>(moduleWidth(f) * r + 1e-6));
}

// Module size of the 2D symbols whose default follows the resolution: 1 at 150 dpi, 2 at 200,
// 3 at 300, 6 at 600.
int resolutionDefault(const BarcodeField& f) {
  return std::clamp(f.dpi / 100, 1, 10);
}

BarcodeImage failure(std::string why) {
  BarcodeImage image;
  image.error = std::move(why);
  return image;
}

// ---- The image -----------------------------------------------------------------------------

bool fits(long width, long height) {
  return width > 0 && height > 0 && width <= kMaxBarcodeDots && height <= kMaxBarcodeDots &&
         width * height <= kMaxBarcodeArea;
}

BarcodeImage tooLarge(long width, long height) {
  return failure("the barcode would be " + std::to_string(width) + " x " + std::to_string(height) +
                 " dots, beyond the " + std::to_string(kMaxBarcodeDots) + "-dot limit");
}

void blank(BarcodeImage& image, int width, int height) {
  image.width = width;
  image.height = height;
  image.dots.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
}

void fill(BarcodeImage& image, int x, int y, int w, int h) {
  int x1 = std::min(image.width, x + w);
  int y1 = std::min(image.height, y + h);
  for (int yy = std::max(0, y); yy < y1; yy++)
    std::fill(image.dots.begin() + static_cast<std::ptrdiff_t>(yy) * image.width + std::max(0, x),
              image.dots.begin() + static_cast<std::ptrdiff_t>(yy) * image.width + x1, 1);
}

// How the interpretation line goes with a symbol.
struct Line {
  bool show = false;
  bool above = false;
  std::string text;
};

int cellWidth(int module) {
  return 5 * module;
}
int cellHeight(int module) {
  return 9 * module;
}

// A linear symbol from its element widths in dots (bar first), `height` tall, with its line
// centred above or below.
BarcodeImage linearImage(const std::vector<int>& elements, int height, const Line& line,
                         int module) {
  long width = 0;
  for (int e : elements)
    width += e;
  long textWidth = 0;
  int cellH = cellHeight(module), cellW = cellWidth(module);
  bool text = line.show && !line.text.empty();
  if (text)
    textWidth = static_cast<long>(line.text.size()) * cellW;
  long total = std::max(width, textWidth);
  long totalHeight = height + (text ? module + cellH : 0);
  if (!fits(total, totalHeight))
    return tooLarge(total, totalHeight);
  BarcodeImage image;
  blank(image, static_cast<int>(total), static_cast<int>(totalHeight));
  int top = text && line.above ? module + cellH : 0;
  int x = 0;
  for (std::size_t i = 0; i < elements.size(); i++) {
    if (i % 2 == 0)
      fill(image, x, top, elements[i], height);
    x += elements[i];
  }
  image.baseline = top + height;
  if (text) {
    BarcodeText t;
    t.x = static_cast<int>((total - textWidth) / 2);
    t.y = line.above ? 0 : height + module;
    t.height = cellH;
    t.width = cellW;
    t.text = line.text;
    image.texts.push_back(t);
  }
  return image;
}

// Element widths in modules of one row of modules (bar first).
std::vector<int> runsOf(const std::vector<std::uint8_t>& row) {
  std::vector<int> runs;
  std::size_t i = 0;
  // A row starting with a space (DataBar) gets an empty first bar.
  if (!row.empty() && !row[0])
    runs.push_back(0);
  while (i < row.size()) {
    std::size_t j = i;
    while (j < row.size() && row[j] == row[i])
      j++;
    runs.push_back(static_cast<int>(j - i));
    i = j;
  }
  return runs;
}

// ---- libzint ------------------------------------------------------------------------------

struct ZintDeleter {
  void operator()(zint_symbol* s) const { ZBarcode_Delete(s); }
};
using ZintPtr = std::unique_ptr<zint_symbol, ZintDeleter>;

struct ZintRequest {
  int symbology = 0;
  std::string data;
  int option1 = -1;
  int option2 = 0;
  int option3 = 0;
  int inputMode = DATA_MODE;
  std::string primary;
  int appendIndex = 0;
  int appendCount = 0;
  std::string appendId;
  const char* name = "";
};

// The module matrix libzint makes: rows of 0/1 modules and each row's height in modules (0 for
// a single row of no fixed height).
struct Modules {
  std::vector<std::vector<std::uint8_t>> rows;
  std::vector<float> heights;
  std::string text;
  std::string error;
  ZintPtr symbol;
};

// The longest data handed to libzint: more than any symbology holds.
constexpr std::size_t kMaxZintData = 8192;

Modules encode(const ZintRequest& req) {
  Modules m;
  if (req.data.empty()) {
    m.error = std::string(req.name) + " field has no data";
    return m;
  }
  if (req.data.size() > kMaxZintData) {
    m.error = std::string(req.name) + " data is " + std::to_string(req.data.size()) +
              " bytes, more than the symbol can hold";
    return m;
  }
  m.symbol.reset(ZBarcode_Create());
  if (!m.symbol) {
    m.error = "out of memory";
    return m;
  }
  zint_symbol* s = m.symbol.get();
  s->symbology = req.symbology;
  s->option_1 = req.option1;
  s->option_2 = req.option2;
  s->option_3 = req.option3;
  s->input_mode = req.inputMode;
  s->show_hrt = 1;
  if (!req.primary.empty())
    std::snprintf(s->primary, sizeof s->primary, "%s", req.primary.c_str());
  if (req.appendCount >= 2) {
    s->structapp.index = req.appendIndex;
    s->structapp.count = req.appendCount;
    std::snprintf(s->structapp.id, sizeof s->structapp.id, "%s", req.appendId.c_str());
  }
  int rc = ZBarcode_Encode(s, reinterpret_cast<const unsigned char*>(req.data.data()),
                           static_cast<int>(req.data.size()));
  if (rc >= ZINT_ERROR) {
    std::string why = s->errtxt;
    // libzint says "Error 123: ..."; the number means nothing to a person.
    if (auto colon = why.find(": "); why.rfind("Error ", 0) == 0 && colon != std::string::npos)
      why = why.substr(colon + 2);
    m.error = std::string(req.name) + " data cannot be coded: " + why;
    return m;
  }
  for (int y = 0; y < s->rows; y++) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(s->width));
    for (int x = 0; x < s->width; x++)
      row[static_cast<std::size_t>(x)] = (s->encoded_data[y][x >> 3] >> (x & 7)) & 1;
    m.rows.push_back(std::move(row));
    m.heights.push_back(s->row_height[y]);
  }
  m.text = reinterpret_cast<const char*>(s->text);
  return m;
}

// A matrix of modules drawn `moduleW` dots wide, each row `rowHeights[i]` dots tall.
BarcodeImage matrixImage(const Modules& m, int moduleW, const std::vector<int>& rowHeights) {
  long width = m.rows.empty() ? 0 : static_cast<long>(m.rows[0].size()) * moduleW;
  long height = 0;
  for (int h : rowHeights)
    height += h;
  if (!fits(width, height))
    return tooLarge(width, height);
  BarcodeImage image;
  blank(image, static_cast<int>(width), static_cast<int>(height));
  int y = 0;
  for (std::size_t r = 0; r < m.rows.size(); r++) {
    const auto& row = m.rows[r];
    for (std::size_t x = 0; x < row.size(); x++)
      if (row[x])
        fill(image, static_cast<int>(x) * moduleW, y, moduleW, rowHeights[r]);
    y += rowHeights[r];
  }
  image.baseline = image.height;
  return image;
}

BarcodeImage squareMatrix(const Modules& m, int module) {
  if (m.rows.size() > static_cast<std::size_t>(kMaxBarcodeDots))
    return tooLarge(0, static_cast<long>(m.rows.size()));
  return matrixImage(m, module, std::vector<int>(m.rows.size(), module));
}

// ---- Linear symbologies ----------------------------------------------------------------------

std::string withoutCheck(std::string_view text, std::size_t n) {
  return std::string(text.substr(0, text.size() >= n ? text.size() - n : 0));
}

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
  Code128Symbol sym = barcodes::encodeCode128(f.data, m, flag(f, 4, false));
  if (!sym.error.empty())
    return failure(sym.error);
  int w = moduleWidth(f);
  std::vector<int> elements = barcodes::code128Elements(sym.codewords);
  for (int& e : elements)
    e *= w;
  Line line{flag(f, 2, true), flag(f, 3, false), sym.text};
  return linearImage(elements, barHeight(f, 1), line, w);
}

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

std::string digitsOnly(std::string_view data) {
  std::string d;
  for (char c : data)
    if (c >= '0' && c <= '9')
      d += c;
  return d;
}

// The digits of a product code: cut to `n` or filled with zeros on the left.
std::string productDigits(std::string_view data, std::size_t n) {
  std::string d = digitsOnly(data);
  if (d.size() > n)
    d.resize(n);
  return std::string(n - d.size(), '0') + d;
}

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

// ^BEo,h,f,g and ^B8o,h,f,g: 12 or 7 digits and the check digit the printer works out.
BarcodeImage ean(const BarcodeField& f, int kind) {
  std::size_t n = kind == 13 ? 12 : 7;
  ZintRequest req;
  req.symbology = BARCODE_EANX;
  req.name = kind == 13 ? "EAN-13" : "EAN-8";
  req.data = productDigits(f.data, n);
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  std::string digits = req.data + barcodes::gs1CheckDigit(req.data);
  return eanImage(f, m.rows.at(0), kind, digits, flag(f, 2, true), flag(f, 3, false), true,
                  barHeight(f, 1));
}

// ^BUo,h,f,g,e: 11 digits and the check digit, shown when e is Y.
BarcodeImage upcA(const BarcodeField& f) {
  ZintRequest req;
  req.symbology = BARCODE_UPCA;
  req.name = "UPC-A";
  req.data = productDigits(f.data, 11);
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  std::string digits = req.data + barcodes::gs1CheckDigit(req.data);
  return eanImage(f, m.rows.at(0), 12, digits, flag(f, 2, true), flag(f, 3, false),
                  flag(f, 4, true), barHeight(f, 1));
}

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

// ^B9o,h,f,g,e: the UPC-A number (number system, manufacturer, product) compressed to UPC-E.
BarcodeImage upcE(const BarcodeField& f) {
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
  std::string digits = system + six + barcodes::gs1CheckDigit(system + d);
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

// ---- 2D symbologies ------------------------------------------------------------------------

// The QR field data: error correction and input mode before a comma ("QA,"; "MM,N123,A..."
// with manual character modes; "D0302xx," first for a structured append).
struct QrData {
  char level = 0;
  std::string bytes;
  int index = 0, count = 0;
  std::string id;
  std::string error;
};

bool isLevel(char c) {
  return c == 'H' || c == 'Q' || c == 'M' || c == 'L';
}

QrData qrData(std::string_view d) {
  QrData q;
  if (d.size() >= 8 && d[0] == 'D' && d[7] == ',') {
    auto two = [&](std::size_t at) { return (d[at] - '0') * 10 + (d[at + 1] - '0'); };
    q.index = two(1);
    q.count = two(3);
    q.id = std::to_string(std::strtol(std::string(d.substr(5, 2)).c_str(), nullptr, 16));
    d.remove_prefix(8);
  }
  // The printer takes the first two characters as the level and the input mode whatever they
  // are (a level other than H, Q, M or L is the default), and after A or M one more, the comma.
  if (d.size() >= 2) {
    q.level = isLevel(d[0]) ? d[0] : 0;
    bool manual = d[1] == 'M';
    d.remove_prefix(d[1] == 'A' || manual ? std::min<std::size_t>(3, d.size()) : 2);
    if (!manual) {
      q.bytes = std::string(d);
      return q;
    }
    // Manual input: N, A or K and characters up to the next comma, or B and a 4-digit count.
    while (!d.empty()) {
      char mode = d[0];
      d.remove_prefix(1);
      if (mode == 'B') {
        if (d.size() < 4 || digitsOnly(d.substr(0, 4)).size() != 4) {
          q.error = "QR Code byte data needs a 4-digit count";
          return q;
        }
        std::size_t n = static_cast<std::size_t>(std::stoi(std::string(d.substr(0, 4))));
        d.remove_prefix(4);
        n = std::min(n, d.size());
        q.bytes += d.substr(0, n);
        d.remove_prefix(n);
      } else if (mode == 'N' || mode == 'A' || mode == 'K') {
        std::size_t end = mode == 'K' ? d.size() : std::min(d.find(','), d.size());
        q.bytes += d.substr(0, end);
        d.remove_prefix(end);
      } else {
        q.error = std::string("QR Code manual input has no character mode '") + mode + "'";
        return q;
      }
      if (!d.empty() && d[0] == ',')
        d.remove_prefix(1);
    }
    return q;
  }
  q.error = "QR Code field data must start with its error correction and input mode, as in \"QA,\"";
  return q;
}

// ^BQa,b,c,d,e
BarcodeImage qrCode(const BarcodeField& f) {
  if (number(f, 1, 2, 1, 2) == 1)
    return failure("QR Code model 1 is not drawn: use model 2");
  QrData q = qrData(f.data);
  if (!q.error.empty())
    return failure(q.error);
  std::string levelParam = param(f, 3);
  char level = q.level ? q.level : levelParam.empty() ? 'Q' : isLevel(levelParam[0]) ? levelParam[0] : 'M';
  ZintRequest req;
  req.symbology = BARCODE_QRCODE;
  req.name = "QR Code";
  req.data = q.bytes;
  req.option1 = level == 'L' ? 1 : level == 'M' ? 2 : level == 'Q' ? 3 : 4;
  int mask = number(f, 4, -1, 0, 7);
  if (mask >= 0)
    req.option3 = (mask + 1) << 8;
  if (q.count >= 2 && q.index >= 1 && q.index <= q.count) {
    req.appendIndex = q.index;
    req.appendCount = q.count;
    req.appendId = q.id;
  }
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  return squareMatrix(m, number(f, 2, resolutionDefault(f), 1, 10));
}

// Data Matrix data with the field's escape character: e1 is FNC1, edNNN a character by its
// code, ee the character itself.  FNC1 first makes it GS1 data, elsewhere a group separator.
struct Escaped {
  bool gs1 = false;
  std::string bytes;
};

Escaped dataMatrixEscapes(std::string_view d, char escape) {
  Escaped e;
  for (std::size_t i = 0; i < d.size(); i++) {
    if (d[i] == escape && i + 1 < d.size()) {
      char c = d[i + 1];
      if (c == '1') {
        if (i == 0)
          e.gs1 = true;
        else
          e.bytes += '\x1d';
        i++;
        continue;
      }
      if (c == 'd' && i + 4 < d.size() && digitsOnly(d.substr(i + 2, 3)).size() == 3) {
        int v = std::stoi(std::string(d.substr(i + 2, 3)));
        if (v < 256) {
          e.bytes += static_cast<char>(v);
          i += 4;
          continue;
        }
      }
      if (c == escape) {
        e.bytes += escape;
        i++;
        continue;
      }
    }
    e.bytes += d[i];
  }
  return e;
}

// ^BXo,h,s,c,r,f,g,a: ECC 200 only.
BarcodeImage dataMatrix(const BarcodeField& f) {
  std::string quality = param(f, 2);
  if (quality != "200")
    return failure("Data Matrix quality " + (quality.empty() ? std::string("0 (the default)") : quality) +
                   " is ECC 000-140, which is not drawn: give quality 200");
  std::string esc = param(f, 6);
  Escaped e = dataMatrixEscapes(f.data, esc.empty() ? '~' : esc[0]);
  ZintRequest req;
  req.symbology = BARCODE_DATAMATRIX;
  req.name = "Data Matrix";
  if (e.gs1) {
    req.data = barcodes::gs1Bracketed(e.bytes);
    if (req.data.empty())
      return failure("Data Matrix GS1 data does not parse as application identifiers");
    req.inputMode = GS1_MODE | GS1NOCHECK_MODE;
  } else {
    req.data = e.bytes;
  }
  // Rows and columns pick the size when they name one.
  static constexpr std::array<std::array<int, 3>, 30> kSizes = {{
      {1, 10, 10},  {2, 12, 12},    {3, 14, 14},    {4, 16, 16},    {5, 18, 18},
      {6, 20, 20},  {7, 22, 22},    {8, 24, 24},    {9, 26, 26},    {10, 32, 32},
      {11, 36, 36}, {12, 40, 40},   {13, 44, 44},   {14, 48, 48},   {15, 52, 52},
      {16, 64, 64}, {17, 72, 72},   {18, 80, 80},   {19, 88, 88},   {20, 96, 96},
      {21, 104, 104}, {22, 120, 120}, {23, 132, 132}, {24, 144, 144}, {25, 8, 18},
      {26, 8, 32},  {27, 12, 26},   {28, 12, 36},   {29, 16, 36},   {30, 16, 48}}};
  int cols = number(f, 3, 0, 1, 144), rows = number(f, 4, 0, 1, 144);
  for (const auto& s : kSizes)
    if (s[1] == rows && s[2] == cols)
      req.option2 = s[0];
  req.option3 = number(f, 7, 1, 1, 2) == 2 ? 0 : DM_SQUARE;
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  // Without a module size ^BY's height is roughly the symbol's.
  int module = number(f, 1, 0, 1, kMaxBarcodeDots);
  if (module == 0)
    module = std::max(1, std::clamp(f.defaults.height, 1, kMaxBarcodeDots) /
                             static_cast<int>(std::max<std::size_t>(1, m.rows.size())));
  return squareMatrix(m, module);
}

// ^B7o,h,s,c,r,t: rows `h` module widths tall, or ^BY's height shared among the rows;
// modules ^BY's width.
BarcodeImage pdf417(const BarcodeField& f) {
  ZintRequest req;
  req.symbology = flag(f, 5, false) ? BARCODE_PDF417COMP : BARCODE_PDF417;
  req.name = "PDF417";
  req.data = f.data;
  req.option1 = number(f, 2, 0, 0, 8);
  req.option2 = number(f, 3, 0, 1, 30);
  req.option3 = number(f, 4, 0, 3, 90);
  if (req.option2 > 0 && req.option3 > 0 && req.option2 * req.option3 > 928)
    return failure("PDF417 of " + std::to_string(req.option2) + " columns and " +
                   std::to_string(req.option3) + " rows is beyond 928 codewords");
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  if (req.option2 == 0 && req.option3 == 0 && !m.rows.empty()) {
    // Given neither, the printer makes about twice as many rows as columns: the fewest columns
    // whose rows are no more than twice as many.
    int edge = req.symbology == BARCODE_PDF417COMP ? 35 : 69;
    int columns = std::max(1, (static_cast<int>(m.rows[0].size()) - edge) / 17);
    int codewords = columns * static_cast<int>(m.rows.size());
    int first = std::max(1, static_cast<int>(std::sqrt(codewords / 2.0)) - 1);
    for (int c = first; c <= 30; c++) {
      req.option2 = c;
      Modules tried = encode(req);
      if (tried.error.empty() && tried.rows.size() <= static_cast<std::size_t>(2 * c)) {
        m = std::move(tried);
        break;
      }
    }
  }
  // The printer keeps the rows it is given: data that needs more prints nothing.
  if (req.option3 > 0 && m.rows.size() != static_cast<std::size_t>(req.option3))
    return failure("PDF417 data needs " + std::to_string(m.rows.size()) + " rows, the field gives " +
                   std::to_string(req.option3));
  int rows = static_cast<int>(std::max<std::size_t>(1, m.rows.size()));
  long rowHeight = static_cast<long>(number(f, 1, 0, 1, kMaxBarcodeDots)) * moduleWidth(f);
  if (rowHeight == 0)
    rowHeight = std::max(1, std::clamp(f.defaults.height, 1, kMaxBarcodeDots) / rows);
  if (rowHeight * static_cast<long>(m.rows.size()) > kMaxBarcodeDots)
    return tooLarge(0, static_cast<long>(rowHeight) * static_cast<long>(m.rows.size()));
  return matrixImage(m, moduleWidth(f), std::vector<int>(m.rows.size(), static_cast<int>(rowHeight)));
}

// ^BOa,b,c,d,e,f,g: d is 0 (the default size), 1-99 an error correction share, 101-104
// compact and 201-232 full-range layers, 300 a rune.
BarcodeImage aztec(const BarcodeField& f) {
  ZintRequest req;
  req.symbology = BARCODE_AZTEC;
  req.name = "Aztec";
  req.data = f.data;
  int d = number(f, 3, 0, 0, 300);
  if (d >= 1 && d <= 99)
    req.option1 = d <= 10 ? 1 : d <= 23 ? 2 : d <= 36 ? 3 : 4;
  else if (d >= 101 && d <= 104)
    req.option2 = d - 100;
  else if (d >= 201 && d <= 232)
    req.option2 = d - 200 + 4;
  else if (d == 300)
    req.symbology = BARCODE_AZRUNE;
  int count = number(f, 5, 1, 1, 26);
  if (count >= 2) {
    req.appendCount = count;
    req.appendIndex = 1;
    req.appendId = param(f, 6);
  }
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  return squareMatrix(m, number(f, 1, resolutionDefault(f), 1, 10));
}

// ^BRa,b,c,d,e,f: the GS1 DataBar family; c the module width, f the segments of expanded
// stacked.  The linear types' heights are the standard's, in modules.
BarcodeImage dataBar(const BarcodeField& f) {
  int type = number(f, 1, 1, 1, 12);
  if (type >= 7)
    return failure("GS1 DataBar type " + std::to_string(type) +
                   " (a composite symbol) is not drawn");
  int module = number(f, 2, resolutionDefault(f), 1, 10);
  ZintRequest req;
  req.name = "GS1 DataBar";
  float single = 33;
  switch (type) {
    case 2: req.symbology = BARCODE_DBAR_OMN; single = 13; break;
    case 3: req.symbology = BARCODE_DBAR_STK; break;
    case 4: req.symbology = BARCODE_DBAR_OMNSTK; break;
    case 5: req.symbology = BARCODE_DBAR_LTD; single = 10; break;
    case 6: req.symbology = BARCODE_DBAR_EXPSTK; single = 34; break;
    default: req.symbology = BARCODE_DBAR_OMN; break;
  }
  if (type == 6) {
    std::string data = f.data;
    if (data.find('(') != std::string::npos) {
      req.inputMode = GS1_MODE | GS1PARENS_MODE | GS1NOCHECK_MODE;
    } else if (data.find('[') != std::string::npos) {
      req.inputMode = GS1_MODE | GS1NOCHECK_MODE;
    } else {
      data = barcodes::gs1Bracketed(data);
      if (data.empty())
        return failure("GS1 DataBar Expanded data does not parse as application identifiers");
      req.inputMode = GS1_MODE | GS1NOCHECK_MODE;
    }
    req.data = data;
    req.option2 = number(f, 5, 22, 2, 22) / 2;
  } else {
    req.data = productDigits(f.data, 13);
  }
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  int separator = number(f, 3, 1, 1, 2);
  std::vector<int> heights;
  for (float h : m.heights) {
    float modules = h > 0 ? h : single;
    // Separator rows between stacked rows are one module; the field may make them two.
    if (m.rows.size() > 1 && h > 0 && h <= 1.0f)
      modules = static_cast<float>(separator);
    heights.push_back(static_cast<int>(std::lround(modules)) * module);
  }
  return matrixImage(m, module, heights);
}

// ^BDm,n,t: MaxiCode's hexagons and bullseye at the symbol's fixed size, 1.11 inches wide.
// Modes 2 and 3 take the structured carrier message first: class of service (3 digits),
// country (3 digits), postal code (9 digits in mode 2, 6 characters in mode 3); or the whole
// message as a reader returns it ("[)>" RS "01" GS "96" postal GS country GS class GS ...).
BarcodeImage maxiCode(const BarcodeField& f) {
  int mode = number(f, 0, 2, 2, 6);
  ZintRequest req;
  req.symbology = BARCODE_MAXICODE;
  req.name = "MaxiCode";
  req.option1 = mode;
  static constexpr std::string_view kHeader = "[)>\x1e" "01\x1d";
  if ((mode == 2 || mode == 3) && f.data.rfind(kHeader, 0) == 0 && f.data.size() > kHeader.size() + 2) {
    // The carrier message written whole, as it reads back: header and year, then postal code,
    // country and class of service each ended by GS; the symbol takes them out to code first.
    std::size_t at = kHeader.size() + 2;
    std::string fields[3];
    for (std::string& field : fields) {
      std::size_t gs = f.data.find('\x1d', at);
      if (gs == std::string::npos)
        return failure("MaxiCode carrier message lacks its postal code, country and class");
      field = f.data.substr(at, gs - at);
      at = gs + 1;
    }
    req.primary = fields[0] + fields[1] + fields[2];
    req.data = f.data.substr(0, kHeader.size() + 2) + f.data.substr(at);
  } else if (mode == 2 || mode == 3) {
    std::size_t postal = mode == 2 ? 9 : 6;
    if (f.data.size() < 6 + postal)
      return failure("MaxiCode mode " + std::to_string(mode) + " data must start with class (3), country (3) and a " +
                     std::to_string(postal) + "-character postal code");
    std::string service = f.data.substr(0, 3), country = f.data.substr(3, 3);
    std::string code = f.data.substr(6, postal);
    if (digitsOnly(service).size() != 3 || digitsOnly(country).size() != 3)
      return failure("MaxiCode class of service and country must be 3 digits each");
    req.primary = code + country + service;
    req.data = f.data.substr(6 + postal);
    if (req.data.empty())
      req.data = " ";
  } else {
    req.data = f.data;
  }
  int index = number(f, 1, 1, 1, 8), count = number(f, 2, 1, 1, 8);
  if (count >= 2 && index <= count) {
    req.appendIndex = index;
    req.appendCount = count;
  }
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  zint_symbol* s = m.symbol.get();
  if (ZBarcode_Buffer_Vector(s, 0) >= ZINT_ERROR || !s->vector || s->vector->width <= 0)
    return failure("MaxiCode could not be laid out");
  double scale = 1.11 * std::clamp(f.dpi, 72, 1200) / s->vector->width;
  long width = std::lround(s->vector->width * scale);
  long height = std::lround(s->vector->height * scale);
  if (!fits(width, height))
    return tooLarge(width, height);
  BarcodeImage image;
  blank(image, static_cast<int>(width), static_cast<int>(height));
  // Hexagons stand on a point: inside when within the flats and the slanted sides.  libzint's
  // touch their neighbours; printed ones keep a narrow light gap, a tenth of the pitch.
  for (auto* h = s->vector->hexagons; h; h = h->next) {
    double cx = h->x * scale, cy = h->y * scale;
    double flat = 0.9 * h->diameter * scale / 2;  // centre to a flat side
    double radius = flat * 2 / std::sqrt(3.0);
    for (int y = static_cast<int>(cy - radius); y <= static_cast<int>(cy + radius) + 1; y++)
      for (int x = static_cast<int>(cx - flat); x <= static_cast<int>(cx + flat) + 1; x++) {
        double dx = std::fabs(x + 0.5 - cx), dy = std::fabs(y + 0.5 - cy);
        if (x >= 0 && y >= 0 && x < image.width && y < image.height && dx <= flat &&
            dy <= radius - dx / std::sqrt(3.0))
          image.dots[static_cast<std::size_t>(y) * image.width + x] = 1;
      }
  }
  for (auto* c = s->vector->circles; c; c = c->next) {
    double cx = c->x * scale, cy = c->y * scale;
    double r = c->diameter * scale / 2, half = c->width * scale / 2;
    double inner = c->width > 0 ? r - half : 0, outer = c->width > 0 ? r + half : r;
    for (int y = static_cast<int>(cy - outer); y <= static_cast<int>(cy + outer) + 1; y++)
      for (int x = static_cast<int>(cx - outer); x <= static_cast<int>(cx + outer) + 1; x++) {
        double dist = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
        if (x >= 0 && y >= 0 && x < image.width && y < image.height && dist >= inner &&
            dist <= outer)
          image.dots[static_cast<std::size_t>(y) * image.width + x] = c->colour ? 0 : 1;
      }
  }
  image.baseline = image.height;
  return image;
}

// The commands, each with its drawing.
struct Symbology {
  const char* command;
  BarcodeImage (*draw)(const BarcodeField&);
};

constexpr Symbology kSymbologies[] = {
    {"BC", code128},
    {"B3", code39},
    {"BA", code93},
    {"BE", [](const BarcodeField& f) { return ean(f, 13); }},
    {"B8", [](const BarcodeField& f) { return ean(f, 8); }},
    {"BU", upcA},
    {"B9", upcE},
    {"B2", interleaved2of5},
    {"BQ", qrCode},
    {"BX", dataMatrix},
    {"B7", pdf417},
    {"BD", maxiCode},
    {"BO", aztec},
    {"BR", dataBar},
    {"BZ", postal},
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
  return failure("barcode ^" + field.command + " is not drawn");
}

}  // namespace zplrender
