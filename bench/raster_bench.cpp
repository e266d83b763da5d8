// raster_bench.cpp: the GRF writer and silvane's scan-line code on real CUPS raster files.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Usage: BENCH_RASTERS=FILE[:FILE...] raster_bench [benchmark options]
//
// The drawn labels of the other benchmarks are tidy; a label that Ghostscript rasterises
// from a PDF has anti-aliased glyph edges, halftoned greys and odd widths.  bench/compare
// leaves such rasters in build-bench/compare/.  For every file this codes all its pages as
// torvane does (rows padded to 32 dots, the page to 32 rows) and all printed lines as silvane
// does, and reports bytes of bitmap (GRF) or of printed lines (DPL) per second.  "Download"
// codes every page as hex and as Z64 at several deflate levels and reports the graphic
// download's bytes ("wire_bytes", with its ~DG header) and CPU ("cpu_per_label") per page.

#include "DataComDecompress.h"
#include "GRFDataZ64.h"
#include "dpl.h"

#include <benchmark/benchmark.h>
#include <cups/raster.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

struct RasterPage {
  std::vector<unsigned char> bitmap;  // torvane's page bitmap
  std::uint64_t rowBytes = 0;
  std::vector<unsigned char> lines;  // the raster's printed lines, back to back
  int lineBytes = 0;
};

using Pages = std::vector<RasterPage>;

// Reads every page of a one-bit raster file; empty on any error.
Pages readRaster(const std::string& path)
{
  Pages pages;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0)
    return pages;
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
  cups_page_header_t header;
  while (ras != nullptr && cupsRasterReadHeader(ras, &header) && header.cupsBitsPerPixel == 1 &&
         header.cupsBytesPerLine > 0 && header.cupsHeight > 0) {
    RasterPage page;
    page.rowBytes = (header.cupsWidth + 31ull) / 32 * 4;
    page.lineBytes = static_cast<int>(header.cupsBytesPerLine);
    page.bitmap.assign(page.rowBytes * ((header.cupsHeight + 31ull) & ~31ull), 0);
    std::vector<unsigned char> line(header.cupsBytesPerLine);
    for (unsigned y = 0; y < header.cupsHeight; y++) {
      if (cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine) == 0)
        break;
      std::copy(line.begin(), line.end(), page.bitmap.begin() + y * page.rowBytes);
      if (std::any_of(line.begin(), line.end(), [](unsigned char b) { return b != 0; }))
        page.lines.insert(page.lines.end(), line.begin(), line.end());
    }
    pages.push_back(std::move(page));
  }
  if (ras != nullptr)
    cupsRasterClose(ras);
  close(fd);
  return pages;
}

void grfWrite(benchmark::State& state, const std::shared_ptr<Pages>& pages)
{
  std::int64_t bytes = 0;
  for (auto _ : state) {
    for (const RasterPage& page : *pages) {
      char* text = nullptr;
      std::uint64_t length = 0;
      GRFDataCompress(page.bitmap.data(), page.bitmap.size(), page.rowBytes, &text, &length);
      benchmark::DoNotOptimize(text);
      FreeReallocMemory(&text);
      bytes += static_cast<std::int64_t>(page.bitmap.size());
    }
  }
  state.SetBytesProcessed(bytes);
  state.counters["pages"] = static_cast<double>(pages->size());
}

// level 0 is hex.
void download(benchmark::State& state, const std::shared_ptr<Pages>& pages, int level)
{
  double wire = 0;
  for (auto _ : state) {
    wire = 0;
    for (const RasterPage& page : *pages) {
      char* text = nullptr;
      std::uint64_t length = 0;
      const int status =
          level == 0 ? GRFDataCompress(page.bitmap.data(), page.bitmap.size(), page.rowBytes,
                                       &text, &length)
                     : GRFDataZ64EncodeLevel(page.bitmap.data(), page.bitmap.size(),
                                             page.rowBytes, level, &text, &length);
      if (status != 0) {
        state.SkipWithError("coding failed");
        return;
      }
      benchmark::DoNotOptimize(text);
      FreeReallocMemory(&text);
      wire += static_cast<double>(length) +
              static_cast<double>(("~DG000.GRF," + std::to_string(page.bitmap.size()) + "," +
                                   std::to_string(page.rowBytes) + ",")
                                      .size());
    }
  }
  const double n = static_cast<double>(pages->size());
  state.counters["wire_bytes"] = wire / n;
  state.counters["cpu_per_label"] = benchmark::Counter(
      n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void dplEncode(benchmark::State& state, const std::shared_ptr<Pages>& pages)
{
  std::int64_t bytes = 0;
  for (auto _ : state) {
    for (const RasterPage& page : *pages) {
      std::vector<unsigned char> out(2 * static_cast<std::size_t>(page.lineBytes));
      for (std::size_t at = 0; at < page.lines.size(); at += page.lineBytes) {
        int n = dpl::encode(page.lines.data() + at, out.data(), page.lineBytes);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(out.data());
      }
      bytes += static_cast<std::int64_t>(page.lines.size());
    }
  }
  state.SetBytesProcessed(bytes);
}

// Registers the benchmarks for the files named in BENCH_RASTERS before main runs.
const bool registered = [] {
  const char* list = std::getenv("BENCH_RASTERS");
  std::string rest = list ? list : "";
  if (rest.empty())
    std::fputs("raster_bench: no BENCH_RASTERS given, nothing to measure\n", stderr);
  while (!rest.empty()) {
    std::size_t colon = rest.find(':');
    std::string path = rest.substr(0, colon);
    rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    auto pages = std::make_shared<Pages>(readRaster(path));
    if (pages->empty()) {
      std::fprintf(stderr, "raster_bench: %s: no one-bit pages read\n", path.c_str());
      continue;
    }
    std::string name = path.substr(path.find_last_of('/') + 1);
    benchmark::RegisterBenchmark(("GrfWrite/" + name).c_str(), grfWrite, pages);
    benchmark::RegisterBenchmark(("DplEncode/" + name).c_str(), dplEncode, pages);
    for (int level : {0, 1, 3, 6, 9})
      benchmark::RegisterBenchmark(
          ("Download/" + name + (level == 0 ? "/hex" : "/z64_level" + std::to_string(level)))
              .c_str(),
          download, pages, level);
  }
  return true;
}();

}  // namespace
