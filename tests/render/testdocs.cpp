// testdocs.cpp: PDF, PNG and JPEG documents for the renderer tests.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "testdocs.h"

#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>  // after <cstdio>: it names FILE

// Drawing text in this process makes Poppler ask fontconfig for a font once; fontconfig keeps
// what it found for the life of the process, which LeakSanitizer would report at exit.  Both
// test programs link this file.
extern "C" const char* __lsan_default_suppressions()
{
  return "leak:libfontconfig.so\n";
}

namespace testdocs {

std::string pdfFile(const std::vector<std::string>& objects)
{
  std::string out = "%PDF-1.5\n%\xE2\xE3\xCF\xD3\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); i++) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  std::size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    out += entry;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

std::string pdfStream(const std::string& entries, const std::string& data)
{
  return "<< /Length " + std::to_string(data.size()) + " " + entries + " >>\nstream\n" + data +
         "\nendstream";
}

namespace {

constexpr const char* kCatalog = "<< /Type /Catalog /Pages 2 0 R >>";
constexpr const char* kLabelBox = "/MediaBox [0 0 288 432]";  // 4 x 6 in

// A one-page document: the page's resources and content, then further objects from 5 on.
std::string onePage(const std::string& resources, const std::string& content,
                    const std::vector<std::string>& more = {})
{
  std::vector<std::string> objects = {
      kCatalog, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      std::string("<< /Type /Page /Parent 2 0 R ") + kLabelBox +
          " /Contents 4 0 R /Resources << " + resources + " >> >>",
      pdfStream("", content)};
  objects.insert(objects.end(), more.begin(), more.end());
  return pdfFile(objects);
}

std::string deflate(const std::string& data)
{
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(data.data()), data.size(), 9) != Z_OK)
    throw std::runtime_error("compress2 failed");
  out.resize(size);
  return out;
}

void putBig(std::string& out, std::uint32_t value, int bytes)
{
  for (int i = bytes - 1; i >= 0; i--)
    out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A JPEG 2000 marker segment: the marker, its length (counting itself), its body.
std::string marker(unsigned code, const std::string& body)
{
  std::string out;
  putBig(out, code, 2);
  putBig(out, static_cast<std::uint32_t>(body.size() + 2), 2);
  return out + body;
}

}  // namespace

std::string labelPdf(int pages)
{
  std::vector<std::string> objects = {kCatalog, ""};
  std::string kids;
  for (int n = 1; n <= pages; n++) {
    int page = 2 * n + 1;
    kids += std::to_string(page) + " 0 R ";
    objects.push_back(std::string("<< /Type /Page /Parent 2 0 R ") + kLabelBox + " /Contents " +
                      std::to_string(page + 1) +
                      " 0 R /Resources << /Font << /F1 << /Type /Font /Subtype /Type1 "
                      "/BaseFont /Helvetica >> >> >> >>");
    std::string content =
        "q 0 g 0 G 3 w\n10 10 268 412 re S\n"
        "BT /F1 28 Tf 20 380 Td (LABEL PAGE " + std::to_string(n) + ") Tj ET\n"
        "2 w 10 360 m 278 360 l S\n1 w 20 350 m 270 200 l S\n"
        "20 300 120 30 re f\n1 g BT /F1 14 Tf 28 310 Td (PRIORITY) Tj ET 0 g\n"
        "BT /F1 9 Tf 20 250 Td (SHIP TO: 1 MAIN STREET, SPRINGFIELD) Tj ET\n";
    for (int k = 0; k < 40; k++)
      content += std::to_string(30 + k * 6 + k % 3) + " 60 " + std::to_string(1 + (k * n) % 4) +
                 " 120 re f\n";
    content += "Q\n";
    objects.push_back(pdfStream("", content));
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>";
  return pdfFile(objects);
}

std::string longPathPdf(int points)
{
  std::string path = "2 w 10 10 m\n";
  for (int i = 0; i < points; i++) {
    int step = i % 100;
    path += std::to_string(10 + step * 7 % 250) + " " + std::to_string(10 + step * 13 % 400) + " l\n";
  }
  path += "S\n";
  std::vector<std::string> objects = {
      kCatalog, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      std::string("<< /Type /Page /Parent 2 0 R ") + kLabelBox + " /Contents 4 0 R >>",
      pdfStream("/Filter /FlateDecode", deflate(path))};
  return pdfFile(objects);
}

std::string jpxPdf(unsigned side)
{
  // SIZ: one 8-bit grey component, the whole image one tile; COD and QCD: five reversible
  // levels; then one tile part holding a single empty packet.
  std::string siz;
  putBig(siz, 0, 2);  // capabilities
  for (std::uint32_t value : {side, side, 0u, 0u, side, side, 0u, 0u})
    putBig(siz, value, 4);
  putBig(siz, 1, 2);
  siz += std::string("\x07\x01\x01", 3);
  std::string codestream = std::string("\xFF\x4F", 2) + marker(0xFF51, siz) +
                           marker(0xFF52, std::string("\0\0\0\1\0\5\4\4\0\1", 10)) +
                           marker(0xFF5C, std::string(17, '\x40'));
  std::string tile;
  putBig(tile, 0, 2);  // tile 0
  putBig(tile, 0, 4);  // its length: up to the end
  tile += std::string("\0\1", 2);
  codestream += marker(0xFF90, tile) + std::string("\xFF\x93", 2) + std::string(4, '\0') +
                std::string("\xFF\xD9", 2);
  std::string dimensions = "/Width " + std::to_string(side) + " /Height " + std::to_string(side);
  return onePage("/XObject << /Im0 5 0 R >>", "q 288 0 0 432 0 0 cm /Im0 Do Q",
                 {pdfStream("/Type /XObject /Subtype /Image " + dimensions +
                                " /ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /JPXDecode",
                            codestream)});
}

std::string jbig2Pdf(unsigned side)
{
  // One segment: page information (type 48) of side x side dots, no striping.
  std::string info;
  for (std::uint32_t value : {side, side, 0u, 0u})
    putBig(info, value, 4);
  info += std::string(3, '\0');
  std::string segment;
  putBig(segment, 0, 4);   // segment number
  segment += '\x30';       // type 48
  segment += '\0';         // refers to no segment
  segment += '\1';         // page 1
  putBig(segment, static_cast<std::uint32_t>(info.size()), 4);
  std::string dimensions = "/Width " + std::to_string(side) + " /Height " + std::to_string(side);
  return onePage("/XObject << /Im0 5 0 R >>", "q 288 0 0 432 0 0 cm /Im0 Do Q",
                 {pdfStream("/Type /XObject /Subtype /Image " + dimensions +
                                " /ImageMask true /Filter /JBIG2Decode",
                            segment + info)});
}

std::string nestedFormsPdf(int depth)
{
  // Form n is object 5 + n; the last one draws the square.
  std::vector<std::string> forms;
  for (int n = 0; n < depth; n++) {
    std::string next = "/F" + std::to_string(n + 1);
    std::string entries = "/Type /XObject /Subtype /Form /BBox [0 0 288 432]";
    if (n + 1 < depth)
      forms.push_back(pdfStream(entries + " /Resources << /XObject << " + next + " " +
                                    std::to_string(6 + n) + " 0 R >> >>",
                                next + " Do " + next + " Do"));
    else
      forms.push_back(pdfStream(entries, "0 0 10 10 re f"));
  }
  return onePage("/XObject << /F0 5 0 R >>", "/F0 Do", forms);
}

Grey blocks(unsigned width, unsigned height, unsigned block)
{
  Grey image{width, height, std::vector<unsigned char>(static_cast<std::size_t>(width) * height, 255)};
  for (unsigned y = 0; y < height; y++) {
    for (unsigned x = 0; x < width; x++) {
      unsigned bx = x / block, by = y / block;
      if ((bx * 7 + by * 13 + bx * by) % 5 < 2)
        image.pixels[static_cast<std::size_t>(y) * width + x] = 0;
    }
  }
  return image;
}

std::string pngFile(const Grey& image)
{
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = image.width;
  png.height = image.height;
  png.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.pixels.data(), 0, nullptr))
    throw std::runtime_error("png_image_write_to_memory failed");
  std::string out(size, '\0');
  if (!png_image_write_to_memory(&png, out.data(), &size, 0, image.pixels.data(), 0, nullptr))
    throw std::runtime_error("png_image_write_to_memory failed");
  out.resize(size);
  return out;
}

namespace {

// Compresses rows of `components` bytes a pixel in `space`.
std::string jpegOf(const std::vector<unsigned char>& pixels, unsigned width, unsigned height,
                   int components, J_COLOR_SPACE space, int quality, bool adobe)
{
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);  // the test's images are valid: errors exit
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = components;
  info.in_color_space = space;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  if (space == JCS_CMYK)
    info.write_Adobe_marker = adobe ? TRUE : FALSE;
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < height) {
    JSAMPROW row = const_cast<unsigned char*>(pixels.data()) +
                   static_cast<std::size_t>(info.next_scanline) * width * components;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string out(reinterpret_cast<char*>(buffer), size);
  std::free(buffer);
  return out;
}

}  // namespace

std::string jpegFile(const Grey& image, int quality)
{
  return jpegOf(image.pixels, image.width, image.height, 1, JCS_GRAYSCALE, quality, false);
}

std::string cmykJpegFile(const Grey& image, bool adobe)
{
  std::vector<unsigned char> inks;
  for (unsigned char grey : image.pixels) {
    unsigned char black = static_cast<unsigned char>(255 - grey);
    for (unsigned char ink : {static_cast<unsigned char>(0), static_cast<unsigned char>(0),
                              static_cast<unsigned char>(0), black})
      inks.push_back(adobe ? static_cast<unsigned char>(255 - ink) : ink);
  }
  return jpegOf(inks, image.width, image.height, 4, JCS_CMYK, 95, adobe);
}

}  // namespace testdocs
