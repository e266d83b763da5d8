// grf_bench.cpp: speed of the GRF text writer and reader on label bitmaps and worst cases.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Throughput is reported as bitmap bytes per second, for the writer and the reader alike.
// The labels come from label_drawing.h.

#include "DataComDecompress.h"
#include "label_drawing.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using benchlabels::Bytes;
using benchlabels::DrawLabel;

struct Bitmap {
  Bytes bits;
  std::uint64_t rowBytes = 0;
  std::string text;  // its GRF text, for the reader
};

enum Kind { kLabel4x6At203, kLabel4x6At300, kLabel4x40At203, kAlternating, kAllBlack, kAllBlank };

const Bitmap& GetBitmap(Kind kind)
{
  static std::map<Kind, Bitmap> cache;
  auto it = cache.find(kind);
  if (it != cache.end())
    return it->second;

  Bitmap b;
  int rowBytes = 104;
  switch (kind) {
    case kLabel4x6At203:
      b.bits = DrawLabel(203, 6, rowBytes);
      break;
    case kLabel4x6At300:
      b.bits = DrawLabel(300, 6, rowBytes);
      break;
    case kLabel4x40At203:
      b.bits = DrawLabel(203, 40, rowBytes);
      break;
    case kAlternating:  // runs of two digits everywhere, and no row equal to the one above
      b.bits.resize(104 * 1218);
      for (std::size_t i = 0; i < b.bits.size(); ++i)
        b.bits[i] = ((i + i / 104) % 2) ? 0xAA : 0x55;
      break;
    case kAllBlack:
      b.bits.assign(104 * 1218, 0xFF);
      break;
    case kAllBlank:
      b.bits.assign(104 * 1218, 0x00);
      break;
  }
  b.rowBytes = static_cast<std::uint64_t>(rowBytes);
  char* text = nullptr;
  std::uint64_t length = 0;
  if (GRFDataCompress(b.bits.data(), b.bits.size(), b.rowBytes, &text, &length) != 0)
    std::abort();
  b.text.assign(text, length);
  FreeReallocMemory(&text);
  return cache.emplace(kind, std::move(b)).first->second;
}

void BM_GrfWrite(benchmark::State& state, Kind kind)
{
  const Bitmap& b = GetBitmap(kind);
  for (auto _ : state) {
    char* text = nullptr;
    std::uint64_t length = 0;
    const int status = GRFDataCompress(b.bits.data(), b.bits.size(), b.rowBytes, &text, &length);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(text);
    FreeReallocMemory(&text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.bits.size()));
  state.counters["text_bytes"] = static_cast<double>(b.text.size());
}

void BM_GrfRead(benchmark::State& state, Kind kind)
{
  const Bitmap& b = GetBitmap(kind);
  Bytes out(b.bits.size());
  for (auto _ : state) {
    std::uint64_t count = out.size();
    const int status =
        GRFDataDecompress(b.text.data(), b.text.size(), b.rowBytes, out.data(), &count);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != b.bits)
    state.SkipWithError("reader did not give back the bitmap");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.bits.size()));
  state.counters["text_bytes"] = static_cast<double>(b.text.size());
}

BENCHMARK_CAPTURE(BM_GrfWrite, label_4x6_203dpi, kLabel4x6At203);
BENCHMARK_CAPTURE(BM_GrfWrite, label_4x6_300dpi, kLabel4x6At300);
BENCHMARK_CAPTURE(BM_GrfWrite, label_4x40_203dpi, kLabel4x40At203);
BENCHMARK_CAPTURE(BM_GrfWrite, alternating_55_AA, kAlternating);
BENCHMARK_CAPTURE(BM_GrfWrite, all_FF, kAllBlack);
BENCHMARK_CAPTURE(BM_GrfWrite, all_00, kAllBlank);

BENCHMARK_CAPTURE(BM_GrfRead, label_4x6_203dpi, kLabel4x6At203);
BENCHMARK_CAPTURE(BM_GrfRead, label_4x6_300dpi, kLabel4x6At300);
BENCHMARK_CAPTURE(BM_GrfRead, label_4x40_203dpi, kLabel4x40At203);
BENCHMARK_CAPTURE(BM_GrfRead, alternating_55_AA, kAlternating);
BENCHMARK_CAPTURE(BM_GrfRead, all_FF, kAllBlack);
BENCHMARK_CAPTURE(BM_GrfRead, all_00, kAllBlank);

}  // namespace
