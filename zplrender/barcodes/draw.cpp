// draw.cpp: what the barcode symbols share: field parameters, images, libzint's modules.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Interpretation line cells are 5 x 9 module widths (font A's cell at one dot, growing with the
// module as the printer's does), one module width away from the bars.

#include "symbols.h"

#include <cstdint>
#include <zint.h>

#include <algorithm>
#include <cstdio>

namespace zplrender::barcodes {

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

namespace {

// The longest data handed to libzint: more than any symbology holds.
constexpr std::size_t kMaxZintData = 8192;

}  // namespace

void ZintDeleter::operator()(zint_symbol* s) const {
  ZBarcode_Delete(s);
}

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

bool numeric(std::string_view data) {
  return !data.empty() && digitsOnly(data).size() == data.size();
}

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

}  // namespace zplrender::barcodes
