// encode_bench.cpp: speed of silvane's scan-line run-length code on label lines.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Each benchmark codes a batch of 4 inch lines at 300 dpi (150 bytes), different lines so
// that branch prediction cannot learn one line by heart.

#include "dpl.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr int kLineBytes = 150;
constexpr int kLines = 512;

using Lines = std::vector<std::vector<unsigned char>>;

Lines makeLines(auto fill)
{
  std::mt19937 rng(7);
  Lines lines(kLines, std::vector<unsigned char>(kLineBytes, 0));
  for (auto& line : lines)
    fill(line, rng);
  return lines;
}

// Text: white background with the strokes of glyphs crossing the line, one to four bytes
// each, and a frame edge at both ends.
Lines textLines()
{
  const unsigned char strokes[] = {0x3C, 0x7E, 0x66, 0xFF, 0xE7, 0x18, 0xC3, 0x81, 0xF0, 0x0F,
                                   0x1F, 0xF8, 0x60, 0x06};
  return makeLines([&](std::vector<unsigned char>& line, std::mt19937& rng) {
    line.front() = 0xFF;
    line.back() = 0xFF;
    for (std::size_t x = 4 + rng() % 20; x + 4 < line.size(); x += 3 + rng() % 12)
      for (unsigned n = 1 + rng() % 4; n > 0 && x + 4 < line.size(); n--, x++)
        line[x] = strokes[rng() % std::size(strokes)];
  });
}

// A barcode: bars and spaces of one to four 3-dot modules between quiet zones.
Lines barLines()
{
  return makeLines([](std::vector<unsigned char>& line, std::mt19937& rng) {
    std::size_t dots = (line.size() - 20) * 8;
    bool black = true;
    for (std::size_t x = 80; x < dots;) {
      std::size_t width = 3 * (1 + rng() % 4);
      for (std::size_t i = 0; i < width && x < dots; i++, x++)
        if (black)
          line[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
      black = !black;
    }
  });
}

// A grey picture dithered by error diffusion: dots scattered at random, 30 per cent black.
Lines ditheredLines()
{
  return makeLines([](std::vector<unsigned char>& line, std::mt19937& rng) {
    for (auto& b : line)
      for (int bit = 0; bit < 8; bit++)
        if (rng() % 10 < 3)
          b |= static_cast<unsigned char>(0x80 >> bit);
  });
}

// A grey patch under an ordered (4x4 Bayer) dither: short repeating patterns.
Lines orderedDitherLines()
{
  const unsigned char rows[4] = {0x88, 0x22, 0xAA, 0x55};
  int y = 0;
  return makeLines([&](std::vector<unsigned char>& line, std::mt19937&) {
    for (std::size_t x = 20; x < line.size() - 20; x++)
      line[x] = rows[(y + static_cast<int>(x / 16)) % 4];
    y++;
  });
}

Lines filled(unsigned char a, unsigned char b)
{
  return makeLines([&](std::vector<unsigned char>& line, std::mt19937&) {
    for (std::size_t x = 0; x < line.size(); x++)
      line[x] = (x % 2) ? b : a;
  });
}

void runEncode(benchmark::State& state, const Lines& lines)
{
  std::vector<unsigned char> out(2 * kLineBytes);
  for (auto _ : state) {
    for (const auto& line : lines) {
      int n = dpl::encode(line.data(), out.data(), kLineBytes);
      benchmark::DoNotOptimize(n);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * kLines * kLineBytes);
}

void BM_Text(benchmark::State& state) { runEncode(state, textLines()); }
void BM_Bars(benchmark::State& state) { runEncode(state, barLines()); }
void BM_Dithered(benchmark::State& state) { runEncode(state, ditheredLines()); }
void BM_OrderedDither(benchmark::State& state) { runEncode(state, orderedDitherLines()); }
void BM_WorstAlternatingEscapes(benchmark::State& state) { runEncode(state, filled(0x00, 0xFF)); }
void BM_WorstAlternating(benchmark::State& state) { runEncode(state, filled(0x12, 0x34)); }
void BM_AllFF(benchmark::State& state) { runEncode(state, filled(0xFF, 0xFF)); }
void BM_AllZero(benchmark::State& state) { runEncode(state, filled(0x00, 0x00)); }

BENCHMARK(BM_Text);
BENCHMARK(BM_Bars);
BENCHMARK(BM_Dithered);
BENCHMARK(BM_OrderedDither);
BENCHMARK(BM_WorstAlternatingEscapes);
BENCHMARK(BM_WorstAlternating);
BENCHMARK(BM_AllFF);
BENCHMARK(BM_AllZero);

}  // namespace
