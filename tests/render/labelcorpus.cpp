// labelcorpus.cpp: label PDFs with libzint's barcodes drawn as PDF rectangles.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "labelcorpus.h"

#include "testdocs.h"

#include <zint.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace corpus {

namespace {

std::string number(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

std::string pdfText(const std::string& text)
{
  std::string out;
  for (char c : text) {
    if (c == '(' || c == ')' || c == '\\')
      out += '\\';
    out += c;
  }
  return out;
}

struct SymbolDeleter {
  void operator()(zint_symbol* symbol) const { ZBarcode_Delete(symbol); }
};
using Symbol = std::unique_ptr<zint_symbol, SymbolDeleter>;

Symbol encode(const Code& code, double barHeight)
{
  Symbol symbol(ZBarcode_Create());
  symbol->symbology = code.symbology;
  symbol->show_hrt = 0;
  if (code.symbology == BARCODE_GS1_128)
    symbol->input_mode = GS1_MODE;
  if (barHeight > 0)
    symbol->height = static_cast<float>(barHeight / code.module);
  auto data = reinterpret_cast<const unsigned char*>(code.data.data());
  if (ZBarcode_Encode(symbol.get(), data, static_cast<int>(code.data.size())) >= ZINT_ERROR)
    throw std::runtime_error(std::string("zint: ") + symbol->errtxt);
  return symbol;
}

// The code's drawing with its bottom-left corner at (x, y); `barHeight` for linear codes.
// Returns its width in points.
double drawCode(Page& page, const Code& code, double x, double y, double barHeight)
{
  Symbol symbol = encode(code, barHeight);
  if (code.symbology == BARCODE_MAXICODE) {
    // Hexagons and a bullseye: drawn by libzint as a picture of 1.11 x 1.05 in.
    symbol->scale = 4;
    if (ZBarcode_Buffer(symbol.get(), 0) >= ZINT_ERROR)
      throw std::runtime_error(std::string("zint: ") + symbol->errtxt);
    std::vector<unsigned char> grey(static_cast<std::size_t>(symbol->bitmap_width) * symbol->bitmap_height);
    for (std::size_t i = 0; i < grey.size(); i++)
      grey[i] = symbol->bitmap[3 * i];
    drawImage(page, grey, symbol->bitmap_width, symbol->bitmap_height, x, y, 80, 76);
    return 80;
  }
  if (ZBarcode_Buffer_Vector(symbol.get(), 0) >= ZINT_ERROR)
    throw std::runtime_error(std::string("zint: ") + symbol->errtxt);
  double unit = symbol->vector->width / symbol->width;  // vector units a module
  double factor = code.module / unit;
  double height = symbol->vector->height * factor;
  std::string& out = page.content;
  for (zint_vector_rect* r = symbol->vector->rectangles; r != nullptr; r = r->next)
    out += number(x + r->x * factor) + " " + number(y + height - (r->y + r->height) * factor) + " " +
           number(r->width * factor) + " " + number(r->height * factor) + " re\n";
  out += "f\n";
  return symbol->vector->width * factor;
}

}  // namespace

Label shippingLabel(int number, int twoD, double module)
{
  Label label;
  std::string tracking = "1Z9" + std::to_string(100 + number) + "AA" + std::to_string(40000 + number);
  label.lines = {"SHIP FROM: WAREHOUSE " + std::to_string(number), "12 HARBOUR ROAD, PORTVILLE",
                 "SHIP TO: A. CUSTOMER", "7 MAIN STREET APT " + std::to_string(number),
                 "SPRINGFIELD 12345", "TRACKING " + tracking};
  label.codes.push_back({BARCODE_CODE128, tracking, module});
  switch (twoD) {
    case BARCODE_QRCODE:
      label.codes.push_back({twoD, "https://example.com/t/" + tracking, 2.2});
      break;
    case BARCODE_DATAMATRIX:
      label.codes.push_back({twoD, "DM" + tracking, 3.2});
      break;
    case BARCODE_PDF417:
      label.codes.push_back({twoD, "PDF417 " + tracking, 1.2});
      break;
    case BARCODE_MAXICODE:
      label.codes.push_back({twoD, "MAXI" + tracking, 0});
      break;
    case BARCODE_GS1_128:
      label.codes.push_back({twoD, "[01]0950110153000" + std::to_string(number % 10) + "[10]LOT" +
                                       std::to_string(number), module});
      break;
    default:
      break;
  }
  return label;
}

void drawLabel(Page& page, const Label& label, double x, double y, bool turned)
{
  std::string& out = page.content;
  out += "q\n";
  if (turned)  // a quarter counter-clockwise: the label's bottom edge runs up its right side
    out += "0 1 -1 0 " + number(x + label.height) + " " + number(y) + " cm\n";
  else
    out += "1 0 0 1 " + number(x) + " " + number(y) + " cm\n";
  double w = label.width, h = label.height;
  // Frame and rules.
  out += "2 w 3 3 " + number(w - 6) + " " + number(h - 6) + " re S\n";
  double small = std::min(w, h);
  double font = small < 150 ? 7 : 11;
  double lineGap = font * 1.3;
  double textTop = h - 10 - font;
  std::size_t shown = small < 150 ? 1 : label.lines.size();
  out += "BT /F1 " + number(font) + " Tf\n";
  for (std::size_t i = 0; i < shown; i++)
    out += "1 0 0 1 10 " + number(textTop - i * lineGap) + " Tm (" + pdfText(label.lines[i]) + ") Tj\n";
  out += "ET\n";
  double ruleY = textTop - shown * lineGap;
  if (small >= 150)
    out += "1 w 3 " + number(ruleY) + " m " + number(w - 3) + " " + number(ruleY) + " l S\n";
  // The linear code along the bottom; the 2D code (or a second linear code) above it.
  if (!label.codes.empty()) {
    double barHeight = small < 150 ? h * 0.4 : std::min(72.0, h * 0.18);
    drawCode(page, label.codes[0], 12, 12, barHeight);
  }
  if (label.codes.size() > 1) {
    const Code& second = label.codes[1];
    double barHeight = std::min(60.0, h * 0.14);
    double top = ruleY - 10;
    if (second.symbology == BARCODE_GS1_128) {
      drawCode(page, second, 12, top - barHeight, barHeight);
    } else {
      // Sized by its module; placed under the rule at the right.
      double side = 80, rows = 76;
      if (second.symbology != BARCODE_MAXICODE) {
        Symbol symbol = encode(second, 0);
        if (ZBarcode_Buffer_Vector(symbol.get(), 0) >= ZINT_ERROR)
          throw std::runtime_error(std::string("zint: ") + symbol->errtxt);
        double factor = second.module / (symbol->vector->width / symbol->width);
        side = symbol->vector->width * factor;
        rows = symbol->vector->height * factor;
      }
      drawCode(page, second, w - 36 - side, top - 14 - rows, 0);
    }
  }
  out += "Q\n";
}

void drawInstructions(Page& page, double x, double y, double width, double height)
{
  std::string& out = page.content;
  out += "BT /F1 14 Tf 1 0 0 1 " + number(x) + " " + number(y + height - 14) +
         " Tm (PRINTING INSTRUCTIONS) Tj\n/F1 9 Tf\n";
  static const char* kText[] = {
      "1. Print this page on plain paper.", "2. Fold the page along the line.",
      "3. Place the label in a pouch", "   and attach it to the parcel.", "4. Keep the receipt below.",
      "Do not copy or reuse this label.", "Drop off at any service point", "before the date shown.",
      "Questions: see our help pages.", "Thank you for shipping with us."};
  double at = y + height - 36;
  for (int round = 0; at > y + 20; round++)
    for (const char* line : kText) {
      if (at <= y + 20)
        break;
      out += "1 0 0 1 " + number(x) + " " + number(at) + " Tm (" + pdfText(line) + ") Tj\n";
      at -= 12;
    }
  out += "ET\n";
  out += "0.5 w [4 3] 0 d " + number(x) + " " + number(y + 6) + " m " + number(x + width) + " " +
         number(y + 6) + " l S [] 0 d\n";
}

void drawImage(Page& page, const std::vector<unsigned char>& grey, unsigned pixelsWide,
               unsigned pixelsHigh, double x, double y, double width, double height)
{
  uLongf size = compressBound(grey.size());
  std::string packed(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &size, grey.data(), grey.size(), 6) != Z_OK)
    throw std::runtime_error("compress2 failed");
  packed.resize(size);
  std::string name = "/Im" + std::to_string(page.images.size());
  page.images.push_back(testdocs::pdfStream(
      "/Type /XObject /Subtype /Image /Width " + std::to_string(pixelsWide) + " /Height " +
          std::to_string(pixelsHigh) +
          " /ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /FlateDecode",
      packed));
  page.content += "q " + number(width) + " 0 0 " + number(height) + " " + number(x) + " " +
                  number(y) + " cm " + name + " Do Q\n";
}

std::string pdfOf(const std::vector<Page>& pages)
{
  // 1 catalog, 2 pages, 3 the font, then each page, its content and its images.
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", "",
                                      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  std::string kids;
  for (const Page& page : pages) {
    int self = static_cast<int>(objects.size()) + 1;
    kids += std::to_string(self) + " 0 R ";
    std::string images;
    for (std::size_t i = 0; i < page.images.size(); i++)
      images += "/Im" + std::to_string(i) + " " + std::to_string(self + 2 + static_cast<int>(i)) + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + number(page.width) + " " +
                      number(page.height) + "] " + page.extra + " /Contents " +
                      std::to_string(self + 1) + " 0 R /Resources << /Font << /F1 3 0 R >> " +
                      "/XObject << " + images + ">> >> >>");
    objects.push_back(testdocs::pdfStream("", page.content));
    objects.insert(objects.end(), page.images.begin(), page.images.end());
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
  return testdocs::pdfFile(objects);
}

}  // namespace corpus
