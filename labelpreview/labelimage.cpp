// labelimage.cpp: label bitmaps, and telling a ZPL job from a DPL job.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "previewimpl.h"
#include "zplrender.h"

#include <algorithm>
#include <array>
#include <cstdio>

LabelImage blankLabelImage(std::uint32_t width, std::uint32_t height)
{
  LabelImage image;
  image.width = width;
  image.height = height;
  image.rowBytes = (static_cast<std::size_t>(width) + 7) / 8;
  image.bits.assign(image.rowBytes * height, 0);
  return image;
}

bool labelDot(const LabelImage& image, std::int64_t x, std::int64_t y)
{
  if (x < 0 || y < 0 || x >= image.width || y >= image.height)
    return false;
  unsigned char byte =
      image.bits[static_cast<std::size_t>(y) * image.rowBytes + static_cast<std::size_t>(x / 8)];
  return (byte & (0x80 >> (x % 8))) != 0;
}

bool labelSizeAllowed(std::uint64_t width, std::uint64_t height)
{
  if (width == 0 || height == 0 || width > kMaxLabelDots || height > kMaxLabelDots)
    return false;
  return (width + 7) / 8 * height <= kMaxLabelBytes;
}

std::string dotsToMillimetres(long long dots, int dpi)
{
  char text[48];
  std::snprintf(text, sizeof text, "%.1f", dpi > 0 ? dots * 25.4 / dpi : 0.0);
  return text;
}

bool deliverLabel(LabelJob& job, PreviewLabel&& label, const LabelSink& sink)
{
  job.labels.push_back(std::move(label));
  if (!sink)
    return true;
  PreviewLabel& kept = job.labels.back();
  bool more = sink(kept, static_cast<int>(job.labels.size()));
  kept.image.bits = {};
  return more;
}

std::uint64_t jobWorkAllowed(std::size_t size)
{
  std::uint64_t most = (UINT64_MAX - kJobWorkBytes) / kJobWorkPerByte;
  return kJobWorkBytes + std::min<std::uint64_t>(size, most) * kJobWorkPerByte;
}

std::string tooMuchWork(std::size_t size)
{
  return "the job draws more than " + std::to_string(jobWorkAllowed(size)) +
         " bytes of labels, more than a preview draws for a job of " + std::to_string(size) +
         " bytes";
}

bool parseLabelJob(std::span<const unsigned char> bytes, LabelJob& job, JobError& error,
                   const LabelSink& sink, const ZplDrawing* drawing)
{
  job = {};
  error = {};

  // Some hosts make the filters send zero bytes first; the printer skips them.
  std::size_t start = 0;
  while (start < bytes.size() && bytes[start] == 0x00)
    start++;
  job.zeroRun = start;

  if (start == bytes.size()) {
    error = {start, 1, bytes.empty() ? "the job is empty" : "the job holds only zero bytes"};
    return false;
  }
  unsigned char first = bytes[start];
  if (first == 0x10 || first == '^' || first == '~') {
    job.language = JobLanguage::zpl;
    return parseZplJob(bytes, start, job, error, sink, drawing);
  }
  // ZPL from other hosts often starts with a line end or blanks.
  if (zplrender::looksLikeZpl(bytes.subspan(start))) {
    job.language = JobLanguage::zpl;
    return parseZplJob(bytes, start, job, error, sink, drawing);
  }
  if (first == 0x01 || first == 0x02) {
    job.language = JobLanguage::dpl;
    return parseDplJob(bytes, start, job, error, sink);
  }
  error = {start, 1, "not a ZPL or DPL job: it starts with byte " + describeByte(first)};
  return false;
}
