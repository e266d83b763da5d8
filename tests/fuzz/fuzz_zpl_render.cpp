// fuzz_zpl_render.cpp: the ZPL II renderer on arbitrary bytes, with the label font.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// What always holds: a job is either drawn, every label exactly as large as its size says and
// every field's data and box within reach, or refused with a reason and a place inside the
// input.  The limits are lowered so that each input is drawn in milliseconds; the same code
// paths run at any limit.

#include "zplrender.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

zplrender::Options options;


extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  std::vector<std::uint8_t> bytes;
  if (std::FILE* f = std::fopen(zplrender::kLabelFontPath, "rb")) {
    std::uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
      bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
  }
  std::string error;
  options.font = zplrender::loadLabelFont(std::move(bytes), error);
  options.limits.maxSide = 1200;
  options.limits.maxLabelBytes = 200000;
  options.limits.maxLabels = 4;
  options.limits.maxFieldsPerLabel = 200;
  options.limits.maxStoredBytes = 4 << 20;
  options.limits.maxWorkDots = 20000000;
  options.limits.maxFieldDots = 1 << 20;
  return 0;
}

// What holds for every reading: drawn labels exactly as large as their sizes say, within the
// limits, or a reason at a place inside the input.
void check(const zplrender::Options& o, bool ok, const zplrender::Result& result, std::size_t size)
{
  if (!ok) {
    if (result.error.empty() || result.errorOffset > size)
      std::abort();
    return;
  }
  if (result.labels.empty() || (!o.exact && static_cast<int>(result.labels.size()) > o.limits.maxLabels))
    std::abort();
  for (const zplrender::Label& label : result.labels) {
    const zplrender::Bitmap& image = label.image;
    if (image.width < 1 || image.height < 1 || image.width > o.limits.maxSide ||
        image.rowBytes != (static_cast<std::size_t>(image.width) + 7) / 8 ||
        image.bits.size() != image.rowBytes * static_cast<std::size_t>(image.height) ||
        label.offset > size)
      std::abort();
    // Bits past the width stay white.
    if (image.width % 8)
      for (int y = 0; y < image.height; y++)
        if (image.bits[static_cast<std::size_t>(y) * image.rowBytes + image.rowBytes - 1] &
            (0xFF >> (image.width % 8)))
          std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size > 65536)
    return -1;
  std::span<const std::uint8_t> job(data, size);
  zplrender::Result result;
  bool ok = zplrender::renderZpl(job, options, result);
  check(options, ok, result, size);
  // A raster driver's job is also read exactly, as labelpreview reads it.
  if (zplrender::isRasterJob(job)) {
    zplrender::Options exact = options;
    exact.exact = true;
    ok = zplrender::renderZpl(job, exact, result);
    check(exact, ok, result, size);
  }
  return 0;
}
