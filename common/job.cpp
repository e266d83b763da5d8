// job.cpp: argument handling, raster input and job status shared by both filters.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "job.h"

#include "choices.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The version-1 page header calls are deprecated in libcups; the filters read that header.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

// The running job's cancel flag, for the signal handler.  One job runs in a filter process.
std::atomic<std::atomic<bool>*> cancelTarget{nullptr};

extern "C" void onTerminate(int)
{
  if (std::atomic<bool>* flag = cancelTarget.load())
    flag->store(true);
}

// Reads raster bytes for libcups: from the read-ahead, refilled by one read() when it is
// empty; -1 on an error or once the job is cancelled.  A request at least as large as the
// read-ahead goes straight to the caller's buffer.
extern "C" ssize_t readRaster(void* ctx, unsigned char* buffer, size_t bytes)
{
  RasterReader* in = static_cast<RasterReader*>(ctx);
  for (;;) {
    if (in->cancelled != nullptr && in->cancelled->load())
      return -1;
    if (in->next < in->end) {
      std::size_t count = std::min(bytes, in->end - in->next);
      std::memcpy(buffer, in->data + in->next, count);
      in->next += count;
      return static_cast<ssize_t>(count);
    }
    bool direct = bytes >= sizeof in->data;
    ssize_t count = read(in->fd, direct ? buffer : in->data, direct ? bytes : sizeof in->data);
    if (count > 0 && !direct) {
      in->next = 0;
      in->end = static_cast<std::size_t>(count);
      continue;
    }
    if (count >= 0 || (errno != EINTR && errno != EAGAIN))
      return count;
  }
}

const char* colourSpaceName(unsigned space)
{
  switch (space) {
    case CUPS_CSPACE_W: return "W";
    case CUPS_CSPACE_RGB: return "RGB";
    case CUPS_CSPACE_K: return "K";
    case CUPS_CSPACE_CMYK: return "CMYK";
    case CUPS_CSPACE_SW: return "sGray";
    case CUPS_CSPACE_SRGB: return "sRGB";
    case CUPS_CSPACE_ADOBERGB: return "AdobeRGB";
    default: return "other";
  }
}

}  // namespace

RasterInput::~RasterInput()
{
  if (fd_ != 0)
    close(fd_);
}

bool RasterInput::open(int argc, char** argv, const char* program)
{
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "ERROR: Usage: %s job-id user title copies options [file]\n", program);
    return false;
  }
  if (argc == 7) {
    int fd = ::open(argv[6], O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
      std::fprintf(stderr, "ERROR: Unable to open raster file \"%s\": %s\n", argv[6],
                   std::strerror(errno));
      sleep(1);
      return false;
    }
    fd_ = fd;
  }
  return true;
}

void catchCancel(std::atomic<bool>* cancelled)
{
  std::signal(SIGPIPE, SIG_IGN);
  cancelTarget.store(cancelled);

  // No SA_RESTART: a blocked read returns so the page loop can see the cancel.
  struct sigaction action = {};
  action.sa_handler = onTerminate;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
}

RasterPtr openRaster(int fd, const std::atomic<bool>* cancelled)
{
  std::unique_ptr<RasterReader> reader(new RasterReader);  // the block itself needs no clearing
  reader->fd = fd;
  reader->cancelled = cancelled;
  cups_raster_t* ras = cupsRasterOpenIO(readRaster, reader.get(), CUPS_RASTER_READ);
  return RasterPtr(ras, RasterClose{std::move(reader)});
}

bool readPageHeader(cups_raster_t* ras, cups_page_header_t& header)
{
  return cupsRasterReadHeader(ras, &header) != 0;
}

bool checkOneBitPerDot(const cups_page_header_t& header, int page)
{
  std::uint64_t rowBytes = (static_cast<std::uint64_t>(header.cupsWidth) + 31) / 32 * 4;
  if (header.cupsBitsPerPixel != 1 || header.cupsBytesPerLine > rowBytes) {
    std::fprintf(stderr,
                 "ERROR: Page %d is not one bit per dot (%u bits per pixel, %u bytes per line "
                 "for %u dots); the printer needs a 1-bit black raster\n",
                 page, header.cupsBitsPerPixel, header.cupsBytesPerLine, header.cupsWidth);
    return false;
  }
  // In any other colour space a 1 bit may be white: the label would print as a negative.
  // The field is read as a number: a hostile header may hold a value outside the enum.
  unsigned space = 0;
  static_assert(sizeof space == sizeof header.cupsColorSpace);
  std::memcpy(&space, &header.cupsColorSpace, sizeof space);
  if (space != CUPS_CSPACE_K) {
    std::fprintf(stderr,
                 "ERROR: Page %d uses colour space %s (%u); the printer needs a 1-bit black "
                 "(K) raster\n",
                 page, colourSpaceName(space), space);
    return false;
  }
  return true;
}

int filterCopies(const char* copiesArgument)
{
  // With raster input CUPS runs no filter before this one, so nothing else makes the copies.
  const char* type = std::getenv("CONTENT_TYPE");
  if (type == nullptr || std::strcmp(type, "application/vnd.cups-raster") != 0)
    return 1;
  int copies = leadingNumber(copiesArgument);
  return std::clamp(copies, 1, 9999);
}

int reportJob(Status status, int pages, const std::string& error)
{
  if (status == Status::failed) {
    std::fprintf(stderr, "ERROR: %s\n", error.c_str());
    return 1;
  }
  if (status == Status::cancelled) {
    // Only whole pages went out; the job is not complete, so it does not end as a success.
    std::fprintf(stderr, "INFO: Job canceled after %d complete page%s.\n", pages,
                 pages == 1 ? "" : "s");
    return 1;
  }
  if (pages > 0) {
    std::fputs("INFO: Ready to print.\n", stderr);
    return 0;
  }
  std::fputs("ERROR: No pages found!\n", stderr);
  return 1;
}
