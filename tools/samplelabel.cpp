// samplelabel.cpp: writes the bundled sample, a 4x6 inch shipping label, as a CUPS raster.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Usage: samplelabel FILE [DPI]
//
// The label has what real labels have: a frame, block text, a barcode, a dithered patch and
// blank margins, so the sample exercises every kind of row the filters compress.

#include <cups/raster.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// 5x7 glyphs, one string of 7 rows of 5 dots each.
struct Glyph {
  char c;
  const char* rows[7];
};

const Glyph kFont[] = {
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"####.", "....#", "....#", ".###.", "....#", "....#", "####."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {".###.", "#....", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "....#", ".###."}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'N', {"#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
    {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
};

struct Canvas {
  unsigned width, height, bytesPerLine;
  std::vector<unsigned char> bits;

  void set(unsigned x, unsigned y)
  {
    if (x < width && y < height)
      bits[y * bytesPerLine + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
  }
  void fill(unsigned x0, unsigned y0, unsigned w, unsigned h)
  {
    for (unsigned y = y0; y < y0 + h; y++)
      for (unsigned x = x0; x < x0 + w; x++)
        set(x, y);
  }
  void text(unsigned x, unsigned y, unsigned scale, const char* s)
  {
    for (; *s; s++, x += 6 * scale) {
      for (const Glyph& g : kFont) {
        if (g.c != *s)
          continue;
        for (unsigned r = 0; r < 7; r++)
          for (unsigned c = 0; c < 5; c++)
            if (g.rows[r][c] == '#')
              fill(x + c * scale, y + r * scale, scale, scale);
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv)
{
  if (argc < 2 || argc > 3) {
    std::fputs("usage: samplelabel FILE [DPI]\n", stderr);
    return 1;
  }
  unsigned dpi = argc == 3 ? static_cast<unsigned>(std::atoi(argv[2])) : 203;
  if (dpi < 100 || dpi > 1200) {
    std::fputs("samplelabel: DPI must lie between 100 and 1200\n", stderr);
    return 1;
  }

  Canvas c;
  c.width = 4 * dpi;
  c.height = 6 * dpi;
  c.bytesPerLine = (c.width + 7) / 8;
  c.bits.assign(static_cast<size_t>(c.bytesPerLine) * c.height, 0);
  unsigned u = dpi / 25;  // about one millimetre

  // Frame and the rules between the sections.
  unsigned m = 2 * u, t = u / 2 + 1;
  c.fill(m, m, c.width - 2 * m, t);
  c.fill(m, c.height - m - t, c.width - 2 * m, t);
  c.fill(m, m, t, c.height - 2 * m);
  c.fill(c.width - m - t, m, t, c.height - 2 * m);
  c.fill(m, c.height / 4, c.width - 2 * m, t);
  c.fill(m, c.height / 2, c.width - 2 * m, t);

  c.text(5 * u, 5 * u, u, "SHIP TO");
  c.text(5 * u, 15 * u, u / 2 + 1, "LABEL 4X6 - TORVANE SILVANE");
  c.text(5 * u, 22 * u, u / 2 + 1, "0123456789");

  // A barcode: bars of one to three module widths.
  unsigned x = 6 * u, module = u / 3 + 1;
  for (unsigned i = 0; x < c.width - 6 * u; i++) {
    unsigned w = (i * 7 + 3) % 3 + 1;
    if (i % 2 == 0)
      c.fill(x, c.height / 4 + 4 * u, w * module, c.height / 5);
    x += w * module;
  }

  // A dithered grey patch, like a logo printed from a photograph.
  for (unsigned y = c.height / 2 + 4 * u; y < c.height / 2 + 30 * u; y++)
    for (unsigned xx = 6 * u; xx < c.width / 2; xx++)
      if (((xx * 7 + y * 13) ^ (xx * y)) % 5 < 2)
        c.set(xx, y);
  c.text(c.width / 2 + 4 * u, c.height / 2 + 8 * u, u, "BOX 1");
  c.text(c.width / 2 + 4 * u, c.height / 2 + 20 * u, u, "OF 2");

  int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
  cups_page_header2_t h = {};
  std::strcpy(h.MediaClass, "PwgRaster");
  h.HWResolution[0] = h.HWResolution[1] = dpi;
  h.PageSize[0] = 288;
  h.PageSize[1] = 432;
  h.NumCopies = 1;
  h.cupsWidth = c.width;
  h.cupsHeight = c.height;
  h.cupsBitsPerColor = 1;
  h.cupsBitsPerPixel = 1;
  h.cupsBytesPerLine = c.bytesPerLine;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = CUPS_CSPACE_K;
  bool ok = cupsRasterWriteHeader2(ras, &h) &&
            cupsRasterWritePixels(ras, c.bits.data(), static_cast<unsigned>(c.bits.size())) != 0;
  cupsRasterClose(ras);
  close(fd);
  if (!ok) {
    std::fprintf(stderr, "samplelabel: unable to write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
