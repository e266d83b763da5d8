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
#include <climits>
#include <cmath>
#include <cstring>

namespace app {

struct PdfDocument {
  std::vector<char> data;  // the file, when it was read into memory: Poppler reads it in place
  std::unique_ptr<poppler::document> doc;
};

void PdfCloser::operator()(PdfDocument* document) const noexcept
{
  delete document;
}

namespace {

// Poppler reports parse problems on stderr by default; the job log is the place for them.
void quietPoppler(const std::string&, void*) {}

// A loaded document, or null with `error` set when it cannot be read or is locked.
PdfPtr checkedPdf(std::unique_ptr<PdfDocument> result, std::string& error)
{
  if (!result->doc) {
    error = "The PDF file cannot be read";
    return nullptr;
  }
  if (result->doc->is_locked()) {
    error = "The PDF file is password protected";
    return nullptr;
  }
  return PdfPtr(result.release());
}

}  // namespace

PdfPtr openPdf(const std::string& path, std::string& error)
{
  poppler::set_debug_error_function(quietPoppler, nullptr);
  auto result = std::make_unique<PdfDocument>();
  result->doc.reset(poppler::document::load_from_file(path));
  return checkedPdf(std::move(result), error);
}

PdfPtr openPdfData(std::vector<char> data, std::string& error)
{
  poppler::set_debug_error_function(quietPoppler, nullptr);
  if (data.empty() || data.size() > static_cast<std::size_t>(INT_MAX)) {
    error = "The PDF file cannot be read";
    return nullptr;
  }
  auto result = std::make_unique<PdfDocument>();
  result->data = std::move(data);
  result->doc.reset(poppler::document::load_from_raw_data(result->data.data(),
                                                          static_cast<int>(result->data.size())));
  return checkedPdf(std::move(result), error);
}

int pdfPageCount(const PdfDocument& document)
{
  return document.doc->pages();
}

bool renderPdfPage(const PdfDocument& document, int index, int dpi, unsigned width,
                   unsigned height, LabelBitmap& out, std::string& error, bool smooth)
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
  renderer.set_render_hints(smooth ? poppler::page_renderer::antialiasing |
                                         poppler::page_renderer::text_antialiasing
                                   : 0);
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

bool pdfPageSize(const PdfDocument& document, int index, double& width, double& height,
                 std::string& error)
{
  std::unique_ptr<poppler::page> page(document.doc->create_page(index));
  if (!page) {
    error = "PDF page " + std::to_string(index + 1) + " cannot be read";
    return false;
  }
  poppler::rectf box = page->page_rect(poppler::crop_box);
  width = box.width();
  height = box.height();
  if (page->orientation() == poppler::page::landscape ||
      page->orientation() == poppler::page::seascape)
    std::swap(width, height);
  if (!(width > 0 && height > 0)) {
    error = "PDF page " + std::to_string(index + 1) + " has no size";
    return false;
  }
  return true;
}

bool renderPdfArea(const PdfDocument& document, int index, double resolution, long x, long y,
                   unsigned width, unsigned height, bool smooth, std::vector<unsigned char>& grey,
                   std::string& error)
{
  grey.assign(static_cast<std::size_t>(width) * height, 255);
  double pageWidth, pageHeight;
  if (!pdfPageSize(document, index, pageWidth, pageHeight, error))
    return false;
  std::unique_ptr<poppler::page> page(document.doc->create_page(index));
  // Only the part of the area on the page is drawn: Poppler's slice stays inside the page.
  long right = std::min<long>(x + static_cast<long>(width), std::lround(pageWidth * resolution / 72));
  long bottom = std::min<long>(y + static_cast<long>(height), std::lround(pageHeight * resolution / 72));
  long left = std::max(0L, x), top = std::max(0L, y);
  if (right <= left || bottom <= top)
    return true;
  poppler::page_renderer renderer;
  renderer.set_render_hints(smooth ? poppler::page_renderer::antialiasing |
                                         poppler::page_renderer::text_antialiasing
                                   : 0);
  renderer.set_image_format(poppler::image::format_gray8);
  renderer.set_paper_color(0xFFFFFFFF);
  poppler::image image = renderer.render_page(page.get(), resolution, resolution, static_cast<int>(left),
                                              static_cast<int>(top), static_cast<int>(right - left),
                                              static_cast<int>(bottom - top));
  if (!image.is_valid() || image.format() != poppler::image::format_gray8) {
    error = "PDF page " + std::to_string(index + 1) + " cannot be rendered";
    return false;
  }
  auto rows = std::min<long>(image.height(), bottom - top);
  auto columns = std::min<long>(image.width(), right - left);
  for (long row = 0; row < rows; row++)
    std::memcpy(grey.data() + static_cast<std::size_t>(top - y + row) * width + (left - x),
                image.const_data() + static_cast<std::size_t>(row) * image.bytes_per_row(),
                static_cast<std::size_t>(columns));
  return true;
}

}  // namespace app
