// renderer.cpp: a PDF, PNG or JPEG document drawn page by page onto the stream to the parent.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "renderer.h"

#include "imagefile.h"
#include "labelbitmap.h"
#include "pdfraster.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <exception>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace app {

namespace {

// Images are read whole before they are decoded; larger files are refused.
constexpr std::size_t kImageFileLimit = 64u << 20;

bool writeAll(int fd, const unsigned char* data, std::size_t length)
{
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes a record of its tag and the given numbers.
template <std::size_t N>
bool writeRecord(int fd, std::uint32_t tag, const std::uint32_t (&words)[N])
{
  unsigned char bytes[4 * (N + 1)];
  putWord(bytes, tag);
  for (std::size_t i = 0; i < N; i++)
    putWord(bytes + 4 * (i + 1), words[i]);
  return writeAll(fd, bytes, sizeof bytes);
}

// The last record; the exit status that goes with it.  Needs no memory, so it can still be
// written when an allocation has just failed.
int finish(int out, StreamOutcome outcome, const char* text, std::size_t length)
{
  length = std::min(length, kStreamTextLimit);
  bool written = writeRecord(out, kDoneTag, {static_cast<std::uint32_t>(outcome),
                                             static_cast<std::uint32_t>(length)}) &&
                 writeAll(out, reinterpret_cast<const unsigned char*>(text), length);
  (void)written;  // a parent that stopped reading has gone; the exit status still says it
  return outcome == StreamOutcome::done     ? kExitDone
         : outcome == StreamOutcome::failed ? kExitFailed
                                            : kExitNoMemory;
}

int fail(int out, const std::string& reason)
{
  return finish(out, StreamOutcome::failed, reason.data(), reason.size());
}

int outOfMemory(int out)
{
  return finish(out, StreamOutcome::noMemory, "", 0);
}

bool refused(const RenderJob& job)
{
  return job.allocationRefused != nullptr && job.allocationRefused();
}

// Reads a descriptor to its end; false when it cannot be read or holds more than `limit`.
bool readAll(int fd, std::size_t limit, std::vector<char>& data)
{
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    if (static_cast<unsigned long long>(info.st_size) > limit)
      return false;
    data.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    if (static_cast<std::size_t>(n) > limit - data.size())
      return false;
    data.insert(data.end(), buffer, buffer + n);
  }
}

// Reads the job's document, from its path or its input descriptor.
bool readDocument(const RenderJob& job, std::size_t limit, std::vector<char>& data)
{
  if (job.path.empty())
    return readAll(job.input, limit, data);
  int fd = open(job.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool ok = readAll(fd, limit, data);
  close(fd);
  return ok;
}

// Sends one page: its record, then its rows.
bool writePage(int out, int number, const LabelBitmap& page)
{
  return writeRecord(out, kPageTag, {static_cast<std::uint32_t>(number), page.width,
                                     page.height, page.bytesPerLine}) &&
         writeAll(out, page.bits.data(), page.bits.size());
}

// The document's pages from first to last: the document's record, then each page as it is
// drawn.  Returns the exit status, after the last record.
int drawDocument(const RenderJob& job, int out)
{
  PdfPtr pdf;
  std::vector<char> file;
  std::string error;
  int pages = 1;
  if (job.format == DocumentFormat::pdf) {
    // Poppler reads a file in place; a document on a pipe is read into memory first.
    if (!job.path.empty())
      pdf = openPdf(job.path, error);
    else if (readAll(job.input, SIZE_MAX, file))
      pdf = openPdfData(std::move(file), error);
    else
      error = "The PDF file cannot be read";
    if (refused(job))
      return outOfMemory(out);
    if (!pdf)
      return fail(out, error);
    pages = pdfPageCount(*pdf);
  } else if (!readDocument(job, kImageFileLimit, file)) {
    return refused(job) ? outOfMemory(out)
                        : fail(out, std::string("The ") + formatName(job.format) +
                                        " file cannot be read or is too large");
  }

  int first = std::max(1, job.firstPage), last = std::min(pages, job.lastPage);
  if (!writeRecord(out, kDocumentTag, {static_cast<std::uint32_t>(std::max(pages, 0)),
                                       static_cast<std::uint32_t>(first),
                                       static_cast<std::uint32_t>(std::max(last, 0))}))
    return kExitFailed;

  LabelBitmap page;
  for (int number = first; number <= last; number++) {
    auto data = reinterpret_cast<const unsigned char*>(file.data());
    bool drawn = job.format == DocumentFormat::pdf
                     ? renderPdfPage(*pdf, number - 1, job.dpi, job.width, job.height, page, error)
                 : job.format == DocumentFormat::png
                     ? renderPng(data, file.size(), job.width, job.height, page, error)
                     : renderJpeg(data, file.size(), job.width, job.height, page, error);
    // A page drawn while an allocation was refused may lack part of the document.
    if (refused(job))
      return outOfMemory(out);
    if (!drawn)
      return fail(out, error);
    if (!writePage(out, number, page))
      return kExitFailed;
  }
  return finish(out, StreamOutcome::done, "", 0);
}

// A whole number in [low, high], all of `text`.
bool parseNumber(const char* text, long low, long high, long& value)
{
  std::string_view view(text);
  auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
  return error == std::errc() && end == view.data() + view.size() && value >= low && value <= high;
}

}  // namespace

bool parseRenderArguments(int argc, const char* const* argv, RenderJob& job, std::string& error)
{
  error = "usage: label-render pdf|png|jpeg DPI WIDTH HEIGHT FIRST LAST [FILE]";
  if (argc != 7 && argc != 8)
    return false;
  std::optional<DocumentFormat> format = parseFormat(argv[1]);
  long dpi, width, height, first, last;
  if (!format || !parseNumber(argv[2], 1, kDpiLimit, dpi) ||
      !parseNumber(argv[3], 1, kLabelSideLimit, width) ||
      !parseNumber(argv[4], 1, kLabelSideLimit, height) ||
      !parseNumber(argv[5], 1, INT_MAX, first) || !parseNumber(argv[6], 1, INT_MAX, last))
    return false;
  job.format = *format;
  job.dpi = static_cast<int>(dpi);
  job.width = static_cast<unsigned>(width);
  job.height = static_cast<unsigned>(height);
  job.firstPage = static_cast<int>(first);
  job.lastPage = static_cast<int>(last);
  job.path = argc == 8 ? argv[7] : "";
  if (argc == 8 && job.path.empty())
    return false;
  error.clear();
  return true;
}

int writeRenderStream(const RenderJob& job, int out)
{
  unsigned char start[8];
  putWord(start, kStreamMagic);
  putWord(start + 4, kStreamVersion);
  if (!writeAll(out, start, sizeof start))
    return kExitFailed;
  // Memory runs out inside a decoder or in our own buffers; either way the parent hears it as
  // such, with no allocation needed to say so.
  try {
    return drawDocument(job, out);
  } catch (const std::bad_alloc&) {
    return outOfMemory(out);
  } catch (const std::exception& e) {
    return fail(out, std::string("The document cannot be drawn: ") + e.what());
  }
}

}  // namespace app
