// zpltest.h: drawing ZPL in the renderer's tests, and reading barcodes back from the dots.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "testsupport.h"
#include "zplrender.h"

#include <memory>
#include <cstdint>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace zpltest {

// The label font, read once.
inline std::shared_ptr<zplrender::LabelFont> font()
{
  static std::shared_ptr<zplrender::LabelFont> face = [] {
    std::string bytes = testsupport::readFile(zplrender::kLabelFontPath);
    std::string error;
    return zplrender::loadLabelFont(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), error);
  }();
  return face;
}

inline zplrender::Result render(const std::string& zpl, zplrender::Options options = {})
{
  if (!options.font)
    options.font = font();
  zplrender::Result result;
  zplrender::renderZpl({reinterpret_cast<const std::uint8_t*>(zpl.data()), zpl.size()}, options,
                       result);
  return result;
}

// The label as '#' and '.' rows, for comparing small drawings.
inline std::string picture(const zplrender::Bitmap& image)
{
  std::string text;
  for (int y = 0; y < image.height; y++) {
    for (int x = 0; x < image.width; x++)
      text += zplrender::bitmapDot(image, x, y) ? '#' : '.';
    text += '\n';
  }
  return text;
}

// The part x, y, w, h of the label (and a white margin) as a binary PGM file.
inline std::string writePgm(const testsupport::TempDir& dir, const zplrender::Bitmap& image,
                            int x0, int y0, int w, int h, const std::string& name, int margin = 20,
                            bool negative = false)
{
  int W = w + 2 * margin, H = h + 2 * margin;
  std::string pixels(static_cast<std::size_t>(W) * H, '\xff');
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      if (zplrender::bitmapDot(image, x0 + x, y0 + y))
        pixels[static_cast<std::size_t>(y + margin) * W + x + margin] = 0;
  if (negative) {
    // A white-on-black field read as a scanner that handles negatives reads it: only the
    // field's own box is turned over, so the margin stays white.
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        char& p = pixels[static_cast<std::size_t>(y + margin) * W + x + margin];
        p = p == 0 ? '\xff' : 0;
      }
  }
  std::string path = dir.file(name + ".pgm");
  testsupport::writeFile(path, "P5\n" + std::to_string(W) + " " + std::to_string(H) + "\n255\n" + pixels);
  return path;
}

inline std::string run(const std::string& command)
{
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p)
    return out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  pclose(p);
  while (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

}  // namespace zpltest
