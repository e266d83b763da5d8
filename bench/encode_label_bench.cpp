// encode_label_bench.cpp: speed of silvane's scan-line code on whole labels.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// The page loop codes every printed line of a label and only counts the blank ones.  These
// benchmarks do the same on the labels of label_drawing.h (the ones the GRF benchmarks
// code), so the two printer languages are measured on the same bitmaps.  Throughput is in
// bytes of printed lines per second; "page" also tests every line for being blank, as the
// page loop does, and is counted in bytes of the whole bitmap.

#include "label_drawing.h"
#include "dpl.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

struct Label {
  std::vector<unsigned char> bits;
  int lineBytes = 0;
  int lines = 0;
  std::vector<int> printed;  // lines with at least one dot
};

Label drawLabel(int dpi, double heightInches)
{
  Label label;
  label.bits = benchlabels::DrawLabel(dpi, heightInches, label.lineBytes);
  label.lines = static_cast<int>(label.bits.size() / label.lineBytes);
  for (int y = 0; y < label.lines; y++) {
    const unsigned char* line = label.bits.data() + static_cast<std::size_t>(y) * label.lineBytes;
    if (std::any_of(line, line + label.lineBytes, [](unsigned char b) { return b != 0; }))
      label.printed.push_back(y);
  }
  return label;
}

void BM_EncodePrintedLines(benchmark::State& state, int dpi, double heightInches)
{
  const Label label = drawLabel(dpi, heightInches);
  std::vector<unsigned char> out(2 * static_cast<std::size_t>(label.lineBytes));
  for (auto _ : state) {
    for (int y : label.printed) {
      int n = dpl::encode(label.bits.data() + static_cast<std::size_t>(y) * label.lineBytes,
                     out.data(), label.lineBytes);
      benchmark::DoNotOptimize(n);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(label.printed.size()) *
                          label.lineBytes);
  state.counters["printed_lines"] = static_cast<double>(label.printed.size());
  state.counters["lines"] = label.lines;
}

void BM_EncodePage(benchmark::State& state, int dpi, double heightInches)
{
  const Label label = drawLabel(dpi, heightInches);
  std::vector<unsigned char> out(2 * static_cast<std::size_t>(label.lineBytes));
  for (auto _ : state) {
    for (int y = 0; y < label.lines; y++) {
      const unsigned char* line = label.bits.data() + static_cast<std::size_t>(y) * label.lineBytes;
      if (std::all_of(line, line + label.lineBytes, [](unsigned char b) { return b == 0; }))
        continue;
      int n = dpl::encode(line, out.data(), label.lineBytes);
      benchmark::DoNotOptimize(n);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(label.bits.size()));
}

BENCHMARK_CAPTURE(BM_EncodePrintedLines, label_4x6_203dpi, 203, 6.0);
BENCHMARK_CAPTURE(BM_EncodePrintedLines, label_4x6_300dpi, 300, 6.0);
BENCHMARK_CAPTURE(BM_EncodePrintedLines, label_4x40_203dpi, 203, 40.0);
BENCHMARK_CAPTURE(BM_EncodePage, label_4x6_203dpi, 203, 6.0);

}  // namespace
