// pdfraster.cpp: PDF pages to 1-bit label bitmaps with Poppler's C++ library.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "pdfraster.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <cstring>

namespace app {

struct PdfDocument {
  std::unique_ptr<poppler::document> doc;
};

void PdfCloser::operator()(PdfDocument* document) const noexcept
{
  delete document;
}

namespace {

// Poppler reports parse problems on stderr by default; the job log is the place for them.
void quietPoppler(const std::string&, void*) {}

}  // namespace

LabelBitmap blankBitmap(unsigned width, unsigned height)
{
  LabelBitmap bitmap;
  bitmap.width = width;
  bitmap.height = height;
  bitmap.bytesPerLine = (width + 7) / 8;
  bitmap.bits.assign(static_cast<std::size_t>(bitmap.bytesPerLine) * height, 0);
  return bitmap;
}

void placeGrey(const unsigned char* grey, unsigned imageWidth, unsigned imageHeight,
               std::size_t stride, unsigned width, unsigned height, LabelBitmap& out)
{
  out = blankBitmap(width, height);
  if (imageWidth == 0 || imageHeight == 0 || width == 0 || height == 0)
    return;

  // Label dots per image pixel, at most 1: a larger image is shrunk to fit.
  double scale = std::min({1.0, static_cast<double>(width) / imageWidth,
                           static_cast<double>(height) / imageHeight});
  unsigned shownWidth = std::max(1u, static_cast<unsigned>(imageWidth * scale));
  unsigned shownHeight = std::max(1u, static_cast<unsigned>(imageHeight * scale));
  unsigned left = (width - std::min(width, shownWidth)) / 2;
  unsigned top = (height - std::min(height, shownHeight)) / 2;
  for (unsigned y = 0; y < shownHeight && top + y < height; y++) {
    auto sourceY = static_cast<std::size_t>(std::min<double>(imageHeight - 1, y / scale));
    const unsigned char* source = grey + sourceY * stride;
    unsigned char* row = out.bits.data() + static_cast<std::size_t>(top + y) * out.bytesPerLine;
    for (unsigned x = 0; x < shownWidth && left + x < width; x++) {
      auto sourceX = static_cast<std::size_t>(std::min<double>(imageWidth - 1, x / scale));
      if (source[sourceX] < 128) {
        unsigned dot = left + x;
        row[dot >> 3] |= static_cast<unsigned char>(0x80 >> (dot & 7));
      }
    }
  }
}

PdfPtr openPdf(const std::string& path, std::string& error)
{
  poppler::set_debug_error_function(quietPoppler, nullptr);
  std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
  if (!doc) {
    error = "The PDF file cannot be read";
    return nullptr;
  }
  if (doc->is_locked()) {
    error = "The PDF file is password protected";
    return nullptr;
  }
  PdfPtr result(new PdfDocument);
  result->doc = std::move(doc);
  return result;
}

int pdfPageCount(const PdfDocument& document)
{
  return document.doc->pages();
}

bool renderPdfPage(const PdfDocument& document, int index, int dpi, unsigned width,
                   unsigned height, LabelBitmap& out, std::string& error)
{
  std::unique_ptr<poppler::page> page(document.doc->create_page(index));
  if (!page) {
    error = "PDF page " + std::to_string(index + 1) + " cannot be read";
    return false;
  }
  poppler::rectf box = page->page_rect(poppler::media_box);
  double pageWidth = box.width(), pageHeight = box.height();  // points
  if (page->orientation() == poppler::page::landscape ||
      page->orientation() == poppler::page::seascape)
    std::swap(pageWidth, pageHeight);
  if (!(pageWidth > 0 && pageHeight > 0)) {
    error = "PDF page " + std::to_string(index + 1) + " has no size";
    return false;
  }

  // Render at the printer's resolution, or smaller so the page fits the label.
  double scale = std::min({1.0, width * 72.0 / (pageWidth * dpi), height * 72.0 / (pageHeight * dpi)});
  double resolution = dpi * scale;

  poppler::page_renderer renderer;
  renderer.set_render_hints(0);  // no anti-aliasing of shapes or text
  renderer.set_image_format(poppler::image::format_gray8);
  renderer.set_paper_color(0xFFFFFFFF);
  poppler::image image = renderer.render_page(page.get(), resolution, resolution);
  if (!image.is_valid() || image.format() != poppler::image::format_gray8) {
    error = "PDF page " + std::to_string(index + 1) + " cannot be rendered";
    return false;
  }

  placeGrey(reinterpret_cast<const unsigned char*>(image.const_data()),
            static_cast<unsigned>(image.width()), static_cast<unsigned>(image.height()),
            static_cast<std::size_t>(image.bytes_per_row()), width, height, out);
  return true;
}

}  // namespace app
