// imagefile.cpp: PNG files through libpng's simplified reader, JPEG files through libjpeg.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "imagefile.h"

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <csetjmp>
#include <new>
#include <strings.h>
#include <vector>

#include <jpeglib.h>  // after <cstdio>: it names FILE
#include <jerror.h>

namespace app {

bool pngIsWhole(const unsigned char* data, std::size_t length)
{
  static constexpr unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (length < 8 || std::memcmp(data, signature, 8) != 0)
    return false;
  std::size_t at = 8;
  while (length - at >= 12) {
    std::uint32_t chunk = (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) |
                          (std::uint32_t{data[at + 2]} << 8) | data[at + 3];
    // The length field is limited to 2^31 - 1; the chunk is the length, the type and the CRC.
    if (chunk > 0x7FFFFFFFu || chunk > length - at - 12)
      return false;
    bool end = std::memcmp(data + at + 4, "IEND", 4) == 0;
    at += 12 + static_cast<std::size_t>(chunk);
    if (end)
      return true;
  }
  return false;
}

namespace {

// libpng words a failed allocation as "Out of memory" or "insufficient memory".
bool pngOutOfMemory(const char* message)
{
  return strcasestr(message, "out of memory") != nullptr ||
         strcasestr(message, "insufficient memory") != nullptr;
}

// Owns libpng's simplified reader state.
struct PngImage {
  png_image image;
  PngImage()
  {
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
  }
  ~PngImage() { png_image_free(&image); }
  PngImage(const PngImage&) = delete;
  PngImage& operator=(const PngImage&) = delete;
};

}  // namespace

bool decodePng(const unsigned char* data, std::size_t length, GreyImage& image, std::string& error)
{
  // libpng's reader never returns on some cut files, so the chunks are walked first.
  if (!pngIsWhole(data, length)) {
    error = "The PNG file is truncated or damaged";
    return false;
  }
  PngImage png;
  if (!png_image_begin_read_from_memory(&png.image, data, length)) {
    if (pngOutOfMemory(png.image.message))
      throw std::bad_alloc();
    error = std::string("The PNG file cannot be decoded: ") + png.image.message;
    return false;
  }
  png.image.format = PNG_FORMAT_GRAY;
  if (png.image.width == 0 || png.image.height == 0 || png.image.width > kImageSideLimit ||
      png.image.height > kImageSideLimit) {
    error = "The PNG image is empty or too large";
    return false;
  }
  std::vector<unsigned char>& grey = image.pixels;
  grey.assign(static_cast<std::size_t>(png.image.width) * png.image.height, 255);
  png_color white = {255, 255, 255};
  if (!png_image_finish_read(&png.image, &white, grey.data(), 0, nullptr)) {
    if (pngOutOfMemory(png.image.message))
      throw std::bad_alloc();
    error = std::string("The PNG file cannot be decoded: ") + png.image.message;
    return false;
  }
  image.width = png.image.width;
  image.height = png.image.height;
  return true;
}

bool renderPng(const unsigned char* data, std::size_t length, unsigned width, unsigned height,
               LabelBitmap& out, std::string& error)
{
  GreyImage image;
  if (!decodePng(data, length, image, error))
    return false;
  placeGrey(image.pixels.data(), image.width, image.height, image.width, width, height, out);
  return true;
}

namespace {

// libjpeg's error handling: a fatal error jumps back to the step that called the library, with
// the library's message kept; a warning that the data ran out marks the file as truncated.
struct JpegErrors {
  jpeg_error_mgr manager;  // first: libjpeg hands back a pointer to it
  std::jmp_buf jump;
  bool truncated;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jpegFatal(j_common_ptr info)
{
  auto* errors = reinterpret_cast<JpegErrors*>(info->err);
  info->err->format_message(info, errors->message);
  std::longjmp(errors->jump, 1);
}

void jpegMessage(j_common_ptr info, int level)
{
  auto* errors = reinterpret_cast<JpegErrors*>(info->err);
  if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
    errors->truncated = true;
}

// Owns a decompressor; its error handler is set before the library is called.
struct JpegReader {
  JpegErrors errors;
  jpeg_decompress_struct info;
  bool created = false;
  JpegReader()
  {
    std::memset(&errors, 0, sizeof errors);
    std::memset(&info, 0, sizeof info);
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegFatal;
    errors.manager.emit_message = jpegMessage;
  }
  ~JpegReader()
  {
    if (created)
      jpeg_destroy_decompress(&info);
  }
  JpegReader(const JpegReader&) = delete;
  JpegReader& operator=(const JpegReader&) = delete;
};

// The two steps that call libjpeg.  Each sets its own jump target, and nothing with a
// destructor lives in their frames, so a fatal error simply returns false.
bool jpegReadHeader(JpegReader& reader, const unsigned char* data, std::size_t length)
{
  if (setjmp(reader.errors.jump))
    return false;
  jpeg_create_decompress(&reader.info);
  reader.created = true;
  jpeg_mem_src(&reader.info, data, static_cast<unsigned long>(length));
  jpeg_read_header(&reader.info, TRUE);
  // libjpeg makes grey from grey, YCbCr and RGB itself; CMYK and YCCK come out as CMYK.
  bool cmyk = reader.info.jpeg_color_space == JCS_CMYK || reader.info.jpeg_color_space == JCS_YCCK;
  reader.info.out_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
  return true;
}

// Grey from one CMYK row.  Files with Adobe's marker (Photoshop's and most others) store the
// inks inverted, 255 meaning none.
void cmykToGrey(const unsigned char* cmyk, unsigned width, bool inverted, unsigned char* grey)
{
  for (unsigned x = 0; x < width; x++, cmyk += 4) {
    unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
    if (!inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    // Now 255 is no ink: red, green and blue are the paper left by each ink and the black.
    unsigned r = c * k / 255, g = m * k / 255, b = y * k / 255;
    grey[x] = static_cast<unsigned char>((r * 299 + g * 587 + b * 114 + 500) / 1000);
  }
}

bool jpegDecode(JpegReader& reader, unsigned char* grey, unsigned char* cmykRow)
{
  if (setjmp(reader.errors.jump))
    return false;
  jpeg_start_decompress(&reader.info);
  while (reader.info.output_scanline < reader.info.output_height) {
    unsigned char* target = grey + static_cast<std::size_t>(reader.info.output_scanline) *
                                       reader.info.output_width;
    JSAMPROW row = cmykRow != nullptr ? cmykRow : target;
    jpeg_read_scanlines(&reader.info, &row, 1);
    if (cmykRow != nullptr)
      cmykToGrey(cmykRow, reader.info.output_width, reader.info.saw_Adobe_marker, target);
  }
  jpeg_finish_decompress(&reader.info);
  return true;
}

}  // namespace

bool decodeJpeg(const unsigned char* data, std::size_t length, GreyImage& image, std::string& error)
{
  JpegReader reader;
  bool read = jpegReadHeader(reader, data, length);
  if (!read && reader.errors.manager.msg_code == JERR_OUT_OF_MEMORY)
    throw std::bad_alloc();
  if (!read || reader.errors.truncated) {
    error = reader.errors.truncated ? "The JPEG file is truncated or damaged"
                                    : std::string("The JPEG file cannot be decoded: ") +
                                          reader.errors.message;
    return false;
  }
  // The frame's size, from its header, before any pixel buffer.
  unsigned imageWidth = reader.info.image_width, imageHeight = reader.info.image_height;
  if (imageWidth == 0 || imageHeight == 0 || imageWidth > kImageSideLimit ||
      imageHeight > kImageSideLimit) {
    error = "The JPEG image is empty or too large";
    return false;
  }
  std::vector<unsigned char>& grey = image.pixels;
  grey.assign(static_cast<std::size_t>(imageWidth) * imageHeight, 255);
  std::vector<unsigned char> cmykRow;
  if (reader.info.out_color_space == JCS_CMYK)
    cmykRow.resize(static_cast<std::size_t>(imageWidth) * 4);
  bool decoded = jpegDecode(reader, grey.data(), cmykRow.empty() ? nullptr : cmykRow.data());
  if (!decoded && reader.errors.manager.msg_code == JERR_OUT_OF_MEMORY)
    throw std::bad_alloc();
  if (!decoded || reader.errors.truncated) {
    error = reader.errors.truncated ? "The JPEG file is truncated or damaged"
                                    : std::string("The JPEG file cannot be decoded: ") +
                                          reader.errors.message;
    return false;
  }
  image.width = imageWidth;
  image.height = imageHeight;
  return true;
}

bool renderJpeg(const unsigned char* data, std::size_t length, unsigned width, unsigned height,
                LabelBitmap& out, std::string& error)
{
  GreyImage image;
  if (!decodeJpeg(data, length, image, error))
    return false;
  placeGrey(image.pixels.data(), image.width, image.height, image.width, width, height, out);
  return true;
}

}  // namespace app
