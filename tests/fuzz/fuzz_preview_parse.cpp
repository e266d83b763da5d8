// fuzz_preview_parse.cpp: labelpreview's job reader on arbitrary bytes.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// What always holds: a job is either read, with every label image exactly as large as its
// size says, or refused with a place inside the input; describing a read job never fails.

#include "preview.h"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size > 65536)
    return -1;
  LabelJob job;
  JobError error;
  if (!parseLabelJob(std::span<const unsigned char>(data, size), job, error)) {
    if (error.offset > size)
      std::abort();
    return 0;
  }
  for (const PreviewLabel& label : job.labels) {
    const LabelImage& image = label.image;
    if (image.rowBytes != (static_cast<std::size_t>(image.width) + 7) / 8 ||
        image.bits.size() != image.rowBytes * image.height || label.offset > size)
      std::abort();
  }
  describeLabelJob(job, 203);
  return 0;
}
