// text.h: the label font: FreeType glyphs drawn into a field's dots.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "zplrender.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zplrender {

// One dot a byte, 1 black; a field is drawn here before it is turned and placed.
struct Mask {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> dots;
  void resize(int w, int h)
  {
    width = w;
    height = h;
    dots.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
  }
  void set(int x, int y)
  {
    if (x >= 0 && y >= 0 && x < width && y < height)
      dots[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x] = 1;
  }
};

// A font as a field uses it: its name (^A0, ^AA ...), cell height and width in dots.
struct FontUse {
  char name = 'A';
  int height = 9;
  int width = 5;
};

// The printer's bitmap fonts: base cell and the gap after each character, at 203 dpi.
struct BitmapFont {
  char name;
  int height;
  int width;
  int gap;
};
const BitmapFont* bitmapFont(char name);

// The cell of font `name` for a ^A or ^CF height and width (0 where omitted), in dots.
FontUse fontCell(char name, int height, int width);

// Distance from the cell's top to the baseline.
int fontAscent(const FontUse& font);

// Width in dots of `text` in `font`; 0 without a face.
int textWidth(LabelFont* face, const FontUse& font, const std::u32string& text);

// Draws `text` with its baseline's left end at x, y of `mask`.  Returns the width drawn.
int drawText(LabelFont* face, const FontUse& font, const std::u32string& text, Mask& mask, int x,
             int y);

}  // namespace zplrender

namespace zplrender {

// Draws `text` one character to a `width`-dot cell, `height` dots tall, the cell row's top at
// y: the human-readable lines under and over barcodes.
void drawCellText(LabelFont* face, int height, int width, const std::string& text, Mask& mask,
                  int x, int y);

}  // namespace zplrender
