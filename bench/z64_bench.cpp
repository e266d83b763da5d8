// z64_bench.cpp: bytes on the wire and CPU per label, hex GRF text against Z64 data.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Each label is coded the way torvane downloads it: "~DG000.GRF,<total>,<row bytes>," and
// then the data.  The counters give, per label, the download's bytes ("wire_bytes") and the
// CPU it took to code ("cpu_per_label", seconds).  The jobs are the drawn 4x6 label, the
// drawn 4x40 label, and 100 different 4x6 labels (one drawing of 600 inches, cut up).
// Z64 runs at every deflate level that is worth considering, to choose one.

#include "DataComDecompress.h"
#include "GRFDataZ64.h"
#include "label_drawing.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using benchlabels::Bytes;

struct Job {
  std::vector<Bytes> labels;
  std::uint64_t rowBytes = 0;
};

enum Shape { k4x6, k4x40, k100Labels };

const Job& GetJob(Shape shape)
{
  static std::map<Shape, Job> cache;
  auto it = cache.find(shape);
  if (it != cache.end())
    return it->second;
  Job job;
  int rowBytes = 0;
  if (shape == k100Labels) {
    const Bytes all = benchlabels::DrawLabel(203, 600, rowBytes);
    const std::size_t labelBytes = all.size() / 100;
    for (std::size_t i = 0; i < 100; ++i)
      job.labels.emplace_back(all.begin() + i * labelBytes, all.begin() + (i + 1) * labelBytes);
  } else {
    job.labels.push_back(benchlabels::DrawLabel(203, shape == k4x6 ? 6 : 40, rowBytes));
  }
  job.rowBytes = static_cast<std::uint64_t>(rowBytes);
  return cache.emplace(shape, std::move(job)).first->second;
}

std::size_t HeaderBytes(const Bytes& label, std::uint64_t rowBytes)
{
  return ("~DG000.GRF," + std::to_string(label.size()) + "," + std::to_string(rowBytes) + ",")
      .size();
}

// level 0 is hex.
void BM_Download(benchmark::State& state, Shape shape, int level)
{
  const Job& job = GetJob(shape);
  double wire = 0;
  for (auto _ : state) {
    wire = 0;
    for (const Bytes& label : job.labels) {
      char* text = nullptr;
      std::uint64_t length = 0;
      const int status =
          level == 0
              ? GRFDataCompress(label.data(), label.size(), job.rowBytes, &text, &length)
              : GRFDataZ64EncodeLevel(label.data(), label.size(), job.rowBytes, level, &text,
                                      &length);
      if (status != 0) {
        state.SkipWithError("coding failed");
        return;
      }
      benchmark::DoNotOptimize(text);
      wire += static_cast<double>(length + HeaderBytes(label, job.rowBytes));
      FreeReallocMemory(&text);
    }
  }
  const double n = static_cast<double>(job.labels.size());
  state.counters["wire_bytes"] = wire / n;
  state.counters["cpu_per_label"] =
      benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Reading Z64 back, as the preview does.
void BM_Z64Read(benchmark::State& state, Shape shape)
{
  const Job& job = GetJob(shape);
  std::vector<std::string> texts;
  for (const Bytes& label : job.labels) {
    char* text = nullptr;
    std::uint64_t length = 0;
    if (GRFDataZ64Encode(label.data(), label.size(), job.rowBytes, &text, &length) != 0)
      std::abort();
    texts.emplace_back(text, length);
    FreeReallocMemory(&text);
  }
  Bytes out(job.labels[0].size());
  for (auto _ : state)
    for (const std::string& text : texts) {
      GRFZ64Fault fault;
      if (GRFDataZ64Decode(text.data(), text.size(), out.data(), out.size(), &fault) != 0)
        state.SkipWithError("decoding failed");
      benchmark::ClobberMemory();
    }
  state.counters["cpu_per_label"] = benchmark::Counter(
      static_cast<double>(job.labels.size()),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK_CAPTURE(BM_Download, hex_4x6, k4x6, 0);
BENCHMARK_CAPTURE(BM_Download, hex_4x40, k4x40, 0);
BENCHMARK_CAPTURE(BM_Download, hex_100_labels, k100Labels, 0);
BENCHMARK_CAPTURE(BM_Download, z64_level1_4x6, k4x6, 1);
BENCHMARK_CAPTURE(BM_Download, z64_level3_4x6, k4x6, 3);
BENCHMARK_CAPTURE(BM_Download, z64_level6_4x6, k4x6, 6);
BENCHMARK_CAPTURE(BM_Download, z64_level9_4x6, k4x6, 9);
BENCHMARK_CAPTURE(BM_Download, z64_level1_4x40, k4x40, 1);
BENCHMARK_CAPTURE(BM_Download, z64_level3_4x40, k4x40, 3);
BENCHMARK_CAPTURE(BM_Download, z64_level6_4x40, k4x40, 6);
BENCHMARK_CAPTURE(BM_Download, z64_level9_4x40, k4x40, 9);
BENCHMARK_CAPTURE(BM_Download, z64_level1_100_labels, k100Labels, 1);
BENCHMARK_CAPTURE(BM_Download, z64_level3_100_labels, k100Labels, 3);
BENCHMARK_CAPTURE(BM_Download, z64_level6_100_labels, k100Labels, 6);
BENCHMARK_CAPTURE(BM_Download, z64_level9_100_labels, k100Labels, 9);
BENCHMARK_CAPTURE(BM_Z64Read, 4x6, k4x6);
BENCHMARK_CAPTURE(BM_Z64Read, 4x40, k4x40);

}  // namespace
