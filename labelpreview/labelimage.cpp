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

// Whole bytes in the middle of a span are done a byte at a time; a box over a wide label is
// then a few hundred byte operations per row, not thousands of dot operations.
void applyDotSpan(LabelImage& image, std::int64_t y, std::int64_t x0, std::int64_t x1, DotOp op)
{
  if (y < 0 || y >= image.height)
    return;
  x0 = std::max<std::int64_t>(x0, 0);
  x1 = std::min<std::int64_t>(x1, image.width);
  unsigned char* row = image.bits.data() + static_cast<std::size_t>(y) * image.rowBytes;
  auto apply = [op](unsigned char& byte, unsigned char mask) {
    if (op == DotOp::set)
      byte |= mask;
    else if (op == DotOp::clear)
      byte &= static_cast<unsigned char>(~mask);
    else
      byte ^= mask;
  };
  std::int64_t x = x0;
  while (x < x1) {
    std::size_t index = static_cast<std::size_t>(x / 8);
    if (x % 8 == 0 && x1 - x >= 8) {
      apply(row[index], 0xFF);
      x += 8;
    } else {
      apply(row[index], static_cast<unsigned char>(0x80 >> (x % 8)));
      x++;
    }
  }
}

// A row is mirrored a byte at a time: its bytes in reverse order, each byte's bits reversed,
// then shifted left past the padding bits that have come to the front.
void mirrorLabelImage(LabelImage& image)
{
  static const auto reversed = [] {
    std::array<unsigned char, 256> table{};
    for (unsigned b = 0; b < 256; b++)
      for (unsigned bit = 0; bit < 8; bit++)
        if (b & (1u << bit))
          table[b] |= static_cast<unsigned char>(0x80u >> bit);
    return table;
  }();
  const std::size_t n = image.rowBytes;
  const unsigned pad = static_cast<unsigned>(n * 8 - image.width);
  std::vector<unsigned char> row(n + 1);
  for (std::uint32_t y = 0; y < image.height; y++) {
    unsigned char* bits = image.bits.data() + static_cast<std::size_t>(y) * n;
    for (std::size_t i = 0; i < n; i++)
      row[i] = reversed[bits[n - 1 - i]];
    row[n] = 0;
    for (std::size_t i = 0; i < n; i++)
      bits[i] = pad == 0 ? row[i]
                         : static_cast<unsigned char>((row[i] << pad) | (row[i + 1] >> (8 - pad)));
  }
}

void turnLabelImage(LabelImage& image)
{
  mirrorLabelImage(image);
  for (std::uint32_t top = 0, bottom = image.height; top + 1 < bottom; top++, bottom--)
    std::swap_ranges(
        image.bits.begin() + static_cast<std::ptrdiff_t>(top * image.rowBytes),
        image.bits.begin() + static_cast<std::ptrdiff_t>((top + 1) * image.rowBytes),
        image.bits.begin() + static_cast<std::ptrdiff_t>((bottom - 1) * image.rowBytes));
}

std::string describeByte(unsigned char byte)
{
  char text[8];
  if (byte > 0x20 && byte < 0x7F && byte != '\'')
    std::snprintf(text, sizeof text, "'%c'", byte);
  else
    std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

std::string printableText(std::string_view text)
{
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < 40; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<0x%02X>", c);
      out += hex;
    }
  }
  if (text.size() > 40)
    out += "...";
  return out;
}

bool readDecimal(std::string_view text, long long& value)
{
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+'))
    negative = text[i++] == '-';
  if (i == text.size() || text.size() - i > 9)
    return false;
  long long v = 0;
  for (; i < text.size(); i++) {
    if (text[i] < '0' || text[i] > '9')
      return false;
    v = v * 10 + (text[i] - '0');
  }
  value = negative ? -v : v;
  return true;
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
