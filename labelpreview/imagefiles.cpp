// imagefiles.cpp: writing a label as a PBM or PNG file.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "preview.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct FileClose {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

// Closes the file and reports a failed write or close as the system tells it.
bool closeFile(FilePtr& file, const std::string& path, std::string& error)
{
  bool failed = std::ferror(file.get()) != 0;
  int saved = errno;
  if (std::fclose(file.release()) != 0 && !failed) {
    failed = true;
    saved = errno;
  }
  if (failed)
    error = "cannot write " + path + ": " + std::strerror(saved);
  return !failed;
}

// Appends libpng's output to a string; out of memory becomes a libpng error, since no C++
// exception may unwind through libpng.
void appendPngBytes(png_structp png, png_bytep data, png_size_t length)
{
  bool appended = true;
  try {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
  } catch (...) {
    appended = false;
  }
  if (!appended)
    png_error(png, "out of memory");
}

void flushNothing(png_structp) {}

// libpng reports errors by long jump; the writer below keeps every C++ object outside the
// span between setjmp and the calls that may jump.  The PNG goes to `file`, or to `memory`
// when that is given.
bool writePngRows(std::FILE* file, std::string* memory, const LabelImage& image, int dpi,
                  const std::vector<unsigned char>& white, std::string& error)
{
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, nullptr);
    error = "out of memory";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    error = "libpng failed";
    return false;
  }
  if (memory != nullptr)
    png_set_write_fn(png, memory, appendPngBytes, flushNothing);
  else
    png_init_io(png, file);
  png_set_IHDR(png, info, image.width, image.height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (dpi > 0) {
    auto perMetre = static_cast<png_uint_32>(dpi / 0.0254 + 0.5);
    png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
  }
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < image.height; y++)
    png_write_row(png, white.data() + static_cast<std::size_t>(y) * image.rowBytes);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::string labelPbmBytes(const LabelImage& image)
{
  std::string out =
      "P4\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n";
  out.append(reinterpret_cast<const char*>(image.bits.data()), image.bits.size());
  return out;
}

bool writeLabelPbm(const LabelImage& image, const std::string& path, std::string& error)
{
  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string bytes = labelPbmBytes(image);
  std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  return closeFile(file, path, error);
}

namespace {

// A 1-bit greyscale PNG has 0 for black, the opposite of the label's bits.
std::vector<unsigned char> pngRows(const LabelImage& image)
{
  std::vector<unsigned char> white(image.bits.size());
  for (std::size_t i = 0; i < white.size(); i++)
    white[i] = static_cast<unsigned char>(~image.bits[i]);
  return white;
}

}  // namespace

bool labelPngBytes(const LabelImage& image, int dpi, std::string& png, std::string& error)
{
  png.clear();
  if (image.width == 0 || image.height == 0) {
    error = "the label is empty";
    return false;
  }
  return writePngRows(nullptr, &png, image, dpi, pngRows(image), error);
}

bool writeLabelPng(const LabelImage& image, const std::string& path, int dpi, std::string& error)
{
  std::vector<unsigned char> white = pngRows(image);

  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!writePngRows(file.get(), nullptr, image, dpi, white, error)) {
    error = "cannot write " + path + ": " + error;
    return false;
  }
  return closeFile(file, path, error);
}
