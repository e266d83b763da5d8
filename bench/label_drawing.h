// label_drawing.h: deterministic label bitmaps for the micro-benchmarks.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// A shipping label drawn dot by dot, the same on every run: blank margins, a frame, a large
// title, lines of small text, a barcode, a dithered picture.  Shared by the benchmarks of the
// GRF writer and reader and of silvane's scan-line code, so that both code the same labels.

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace benchlabels {

using Bytes = std::vector<unsigned char>;

// A one-bit-per-dot page, 1 = black, most significant bit leftmost.
class Page {
 public:
  Page(int widthDots, int heightDots)
      : width_(widthDots), height_(heightDots), rowBytes_((widthDots + 7) / 8),
        bits_(static_cast<std::size_t>(rowBytes_) * heightDots, 0)
  {
  }

  void Set(int x, int y)
  {
    if (x >= 0 && x < width_ && y >= 0 && y < height_)
      bits_[static_cast<std::size_t>(y) * rowBytes_ + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
  }

  void Fill(int x0, int y0, int x1, int y1)
  {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        Set(x, y);
  }

  int width() const { return width_; }
  int height() const { return height_; }
  int rowBytes() const { return rowBytes_; }
  const Bytes& bits() const { return bits_; }

 private:
  int width_, height_, rowBytes_;
  Bytes bits_;
};

// Small deterministic generator (xorshift), so every run draws the same labels.
struct Rng {
  std::uint32_t state;
  std::uint32_t Next()
  {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }
};

// 64 letter-like glyphs of 8 x 12 cells built from strokes: stems, bars, bowls and diagonals.
struct Font {
  std::uint8_t rows[64][12];
  Font()
  {
    Rng rng{12345};
    for (auto& glyph : rows) {
      for (auto& r : glyph)
        r = 0;
      const int strokes = 2 + rng.Below(3);
      for (int s = 0; s < strokes; ++s) {
        switch (rng.Below(4)) {
          case 0: {  // stem
            const int x = rng.Below(7);
            for (int y = 2; y < 12; ++y)
              glyph[y] |= static_cast<std::uint8_t>(0x80 >> x);
            break;
          }
          case 1: {  // bar
            const int y = 2 + rng.Below(10);
            glyph[y] |= 0x7E;
            break;
          }
          case 2:  // bowl
            for (int y = 3; y < 8; ++y)
              glyph[y] |= (y == 3 || y == 7) ? 0x3C : 0x42;
            break;
          default:  // diagonal
            for (int y = 2; y < 12; ++y)
              glyph[y] |= static_cast<std::uint8_t>(0x80 >> ((y - 2) * 7 / 10));
            break;
        }
      }
    }
  }
};

inline const Font& TheFont()
{
  static const Font font;
  return font;
}

// A line of n glyphs, each cell scale x scale dots.
inline void DrawText(Page& page, int x, int y, int scale, int n, Rng& rng)
{
  const Font& font = TheFont();
  for (int c = 0; c < n; ++c) {
    const int g = rng.Below(9) == 0 ? -1 : rng.Below(64);  // some spaces
    if (g >= 0)
      for (int gy = 0; gy < 12; ++gy)
        for (int gx = 0; gx < 8; ++gx)
          if (font.rows[g][gy] & (0x80 >> gx))
            page.Fill(x + gx * scale, y + gy * scale, x + (gx + 1) * scale, y + (gy + 1) * scale);
    x += 9 * scale;
  }
}

// Bars and spaces of one to four modules, like a Code 128 symbol.
inline void DrawBarcode(Page& page, int x, int y, int width, int height, int module, Rng& rng)
{
  const int end = x + width;
  bool bar = true;
  while (x < end) {
    const int w = module * (1 + rng.Below(4));
    if (bar)
      page.Fill(x, y, x + w < end ? x + w : end, y + height);
    x += w;
    bar = !bar;
  }
}

// A diagonal shade, black to white, through a 4 x 4 ordered dither, as a photo comes out of
// the raster filter.
inline void DrawDither(Page& page, int x0, int y0, int w, int h)
{
  static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int level = 8 * x / w + 8 * y / h + 1;
      if (kBayer[y % 4][x % 4] >= level)
        page.Set(x0 + x, y0 + y);
    }
}

// A shipping label at dpi dots per inch, four inches wide; its sections repeat down a long
// label.
inline Bytes DrawLabel(int dpi, double heightInches, int& rowBytes)
{
  const int width = dpi == 300 ? 1248 : 832;
  const int height = static_cast<int>(heightInches * dpi + 0.5);
  Page page(width, height);
  Rng rng{static_cast<std::uint32_t>(dpi * 7 + height)};
  const int margin = dpi / 8;
  const int small = dpi >= 300 ? 3 : 2;
  const int section = 6 * dpi;  // one 4 x 6 inch layout

  for (int top = 0; top < height; top += section) {
    const int bottom = top + section < height ? top + section : height;
    // Frame and dividers.
    page.Fill(margin, top + margin, width - margin, top + margin + 4);
    page.Fill(margin, bottom - margin - 4, width - margin, bottom - margin);
    page.Fill(margin, top + margin, margin + 4, bottom - margin);
    page.Fill(width - margin - 4, top + margin, width - margin, bottom - margin);
    int y = top + margin + 20;
    DrawText(page, margin + 20, y, 2 * small, 14, rng);  // title
    y += 12 * 2 * small + 20;
    page.Fill(margin, y, width - margin, y + 3);
    y += 20;
    for (int line = 0; line < 9 && y + 14 * small < bottom; ++line, y += 14 * small)
      DrawText(page, margin + 20, y, small, 38 - line * 2, rng);  // address block
    y += 10;
    page.Fill(margin, y, width - margin, y + 3);
    y += 30;
    const int barHeight = dpi;  // one inch
    if (y + barHeight < bottom)
      DrawBarcode(page, margin + 40, y, width - 2 * margin - 80, barHeight, small, rng);
    y += barHeight + 20;
    if (y + 14 * small < bottom)
      DrawText(page, width / 3, y, small, 16, rng);  // human-readable line
    y += 14 * small + 20;
    const int patch = dpi * 3 / 2;
    if (y + patch / 2 < bottom) {
      DrawDither(page, margin + 20, y, patch, patch * 2 / 3 < bottom - y ? patch * 2 / 3 : bottom - y - margin);
      for (int line = 0; line < 6 && y + 14 * small < bottom - margin; ++line, y += 14 * small)
        DrawText(page, margin + 40 + patch, y, small, 18, rng);
    }
  }
  rowBytes = page.rowBytes();
  return page.bits();
}

}  // namespace benchlabels
