// text.cpp: the label font: FreeType glyphs drawn into a field's dots.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Every font of a label is drawn with the one face: the scalable font 0 at its cell height
// and width, the printer's bitmap fonts at their cells with fixed pitch.  The faces differ from
// the printer's; sizes and positions do not.  Glyphs are rendered once per size and kept.

#include "text.h"

#include <memory>
#include <cstdint>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace zplrender {

namespace {

struct Glyph {
  int left = 0;  // from the pen to the first column
  int top = 0;   // from the baseline up to the first row
  int width = 0;
  int rows = 0;
  int advance = 0;  // dots
  std::vector<std::uint8_t> dots;
};

constexpr BitmapFont kBitmapFonts[] = {
    {'A', 9, 5, 1},   {'B', 11, 7, 2},  {'C', 18, 10, 2}, {'D', 18, 10, 2},
    {'E', 28, 15, 5}, {'F', 26, 13, 3}, {'G', 60, 40, 8}, {'H', 21, 13, 6},
};

// The share of the cell above the baseline, for every font: cap tops then sit where printed
// labels have them (docs/zpl-renderer.md).
constexpr double kAscentShare = 0.73;

}  // namespace

class LabelFont {
 public:
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  std::vector<std::uint8_t> bytes;
  double digitAdvance = 0.5;  // of the em, for fitting fixed cells
  std::map<std::tuple<char32_t, int, int>, Glyph> glyphs;
  std::map<char32_t, long> advances;  // design units
  Glyph large;

  ~LabelFont()
  {
    if (face)
      FT_Done_Face(face);
    if (library)
      FT_Done_FreeType(library);
  }

  // The advance of a character in dots at `xppem`, from the face's design units: the same
  // for measuring and drawing, with nothing rendered.
  int advance(char32_t c, int xppem)
  {
    auto found = advances.find(c);
    long units;
    if (found != advances.end()) {
      units = found->second;
    } else {
      FT_UInt index = glyphIndex(c);
      FT_Fixed a = 0;
      FT_Get_Advance(face, index, FT_LOAD_NO_SCALE, &a);
      units = static_cast<long>(a);
      if (advances.size() < 100000)
        advances.emplace(c, units);
    }
    return static_cast<int>((static_cast<long long>(units) * xppem + face->units_per_EM / 2) /
                            std::max<int>(1, face->units_per_EM));
  }

  FT_UInt glyphIndex(char32_t c)
  {
    FT_UInt index = FT_Get_Char_Index(face, c);
    return index ? index : FT_Get_Char_Index(face, U'?');
  }

  // The glyph's dots at a size; small glyphs are kept, a large one only until the next.
  const Glyph& glyph(char32_t c, int xppem, int yppem)
  {
    auto key = std::make_tuple(c, xppem, yppem);
    auto found = glyphs.find(key);
    if (found != glyphs.end())
      return found->second;
    if (glyphs.size() > 20000)
      glyphs.clear();
    Glyph g;
    FT_Set_Pixel_Sizes(face, static_cast<FT_UInt>(xppem), static_cast<FT_UInt>(yppem));
    if (FT_Load_Glyph(face, glyphIndex(c), FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) == 0) {
      FT_GlyphSlot slot = face->glyph;
      const FT_Bitmap& b = slot->bitmap;
      g.left = slot->bitmap_left;
      g.top = slot->bitmap_top;
      g.width = static_cast<int>(b.width);
      g.rows = static_cast<int>(b.rows);
      g.advance = advance(c, xppem);
      g.dots.assign(static_cast<std::size_t>(g.width) * g.rows, 0);
      for (int y = 0; y < g.rows; y++) {
        const unsigned char* row = b.buffer + static_cast<std::ptrdiff_t>(y) * b.pitch;
        for (int x = 0; x < g.width; x++) {
          bool on = b.pixel_mode == FT_PIXEL_MODE_MONO ? (row[x / 8] & (0x80 >> (x % 8))) != 0
                                                        : row[x] >= 128;
          g.dots[static_cast<std::size_t>(y) * g.width + x] = on;
        }
      }
    }
    if (g.dots.size() > 65536) {
      large = std::move(g);
      return large;
    }
    return glyphs.emplace(key, std::move(g)).first->second;
  }
};

std::shared_ptr<LabelFont> loadLabelFont(std::vector<std::uint8_t> fileBytes, std::string& error)
{
  auto font = std::make_shared<LabelFont>();
  font->bytes = std::move(fileBytes);
  if (FT_Init_FreeType(&font->library) != 0) {
    error = "FreeType cannot start";
    return nullptr;
  }
  if (FT_New_Memory_Face(font->library, font->bytes.data(),
                         static_cast<FT_Long>(font->bytes.size()), 0, &font->face) != 0 ||
      !FT_IS_SCALABLE(font->face)) {
    error = "not a scalable font FreeType reads";
    return nullptr;
  }
  FT_UInt zero = FT_Get_Char_Index(font->face, U'0');
  if (zero && FT_Load_Glyph(font->face, zero, FT_LOAD_NO_SCALE) == 0 && font->face->units_per_EM)
    font->digitAdvance =
        static_cast<double>(font->face->glyph->advance.x) / font->face->units_per_EM;
  return font;
}

const BitmapFont* bitmapFont(char name)
{
  for (const BitmapFont& f : kBitmapFonts)
    if (f.name == name)
      return &f;
  return nullptr;
}

FontUse fontCell(char name, int height, int width)
{
  FontUse use;
  use.name = name;
  if (const BitmapFont* b = bitmapFont(name)) {
    // Bitmap fonts grow by whole multiples of their cell, each side on its own.
    int magH = height > 0 ? std::clamp((height + b->height / 2) / b->height, 1, 10) : 1;
    int magW = width > 0 ? std::clamp((width + b->width / 2) / b->width, 1, 10) : magH;
    if (height <= 0 && width > 0)
      magH = magW;
    use.height = b->height * magH;
    use.width = b->width * magW;
    return use;
  }
  // The scalable font: a missing width is the height, a missing height the width; 15 x 12 by
  // default.  Fonts P to V scale the same way from their own base cells.
  static constexpr struct {
    char name;
    int height, width;
  } kScaledBases[] = {{'P', 20, 18}, {'Q', 28, 24}, {'R', 35, 31}, {'S', 40, 35},
                      {'T', 48, 42}, {'U', 59, 53}, {'V', 80, 71}};
  if (height <= 0 && width <= 0) {
    height = 15;
    width = 12;
    for (const auto& base : kScaledBases)
      if (base.name == name) {
        height = base.height;
        width = base.width;
      }
  }
  use.height = std::max(1, height > 0 ? height : width);
  use.width = std::max(1, width > 0 ? width : use.height);
  return use;
}

int fontAscent(const FontUse& font)
{
  return static_cast<int>(std::lround(font.height * kAscentShare));
}

namespace {

// The pixel sizes for a font's cell, and for a bitmap font its pitch.
struct Sizes {
  int xppem;
  int yppem;
  int pitch;  // 0 for the scalable font
};

Sizes sizesFor(LabelFont* face, const FontUse& font)
{
  if (const BitmapFont* b = bitmapFont(font.name)) {
    int mag = std::max(1, font.width / b->width);
    int x = static_cast<int>(std::lround(font.width / std::max(0.2, face->digitAdvance)));
    return {std::max(1, x), font.height, font.width + b->gap * mag};
  }
  return {font.width, font.height, 0};
}

// A glyph's dots onto the mask with its top-left corner at x, y; only the part inside is visited.
void blit(const Glyph& g, Mask& mask, int x, int y)
{
  int row0 = std::max(0, -y), row1 = std::min(g.rows, mask.height - y);
  int col0 = std::max(0, -x), col1 = std::min(g.width, mask.width - x);
  for (int row = row0; row < row1; row++) {
    const std::uint8_t* src = g.dots.data() + static_cast<std::size_t>(row) * g.width;
    std::uint8_t* dst = mask.dots.data() + static_cast<std::size_t>(y + row) * mask.width + x;
    for (int col = col0; col < col1; col++)
      dst[col] |= src[col];
  }
}

}  // namespace

int textWidth(LabelFont* face, const FontUse& font, const std::u32string& text)
{
  if (!face)
    return 0;
  Sizes s = sizesFor(face, font);
  if (s.pitch)
    return static_cast<int>(text.size()) * s.pitch;
  long long width = 0;
  for (char32_t c : text)
    width += face->advance(c, s.xppem);
  return static_cast<int>(std::min<long long>(width, 1 << 30));
}

int drawText(LabelFont* face, const FontUse& font, const std::u32string& text, Mask& mask, int x,
             int y)
{
  if (!face)
    return 0;
  Sizes s = sizesFor(face, font);
  int pen = x;
  for (char32_t c : text) {
    if (pen > mask.width)
      break;
    const Glyph& g = face->glyph(c, s.xppem, s.yppem);
    int left = pen + g.left;
    if (s.pitch)
      left = pen + (s.pitch - g.advance) / 2 + g.left;
    blit(g, mask, left, y - g.top);
    pen += s.pitch ? s.pitch : g.advance;
  }
  return pen - x;
}

}  // namespace zplrender

namespace zplrender {

void drawCellText(LabelFont* face, int height, int width, const std::string& text, Mask& mask,
                  int x, int y)
{
  if (!face || height < 1 || width < 1)
    return;
  int yppem = height;
  int xppem = std::max(1, static_cast<int>(std::lround(width * 0.9 / std::max(0.2, face->digitAdvance))));
  int baseline = y + fontAscent(FontUse{'0', height, width});
  int pen = x;
  for (unsigned char c : text) {
    const Glyph& g = face->glyph(c, xppem, yppem);
    blit(g, mask, pen + (width - g.advance) / 2 + g.left, baseline - g.top);
    pen += width;
  }
}

}  // namespace zplrender
