// job.cpp: argument handling, raster input and job status shared by both filters.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "job.h"

#include "command.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The version-1 page header calls are deprecated in libcups; the filters read that header.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

std::uint64_t pageByteLimit = kMaxPageBytes;

namespace {

volatile std::sig_atomic_t cancelled = 0;

extern "C" void onTerminate(int)
{
  cancelled = 1;
}

// Reads raster bytes for libcups: from the read-ahead, refilled by one read() when it is
// empty; -1 on an error or once the job is cancelled.  A request at least as large as the
// read-ahead goes straight to the caller's buffer.
extern "C" ssize_t readRaster(void* ctx, unsigned char* buffer, size_t bytes)
{
  RasterReader* in = static_cast<RasterReader*>(ctx);
  for (;;) {
    if (cancelled)
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

}  // namespace

RasterInput::~RasterInput()
{
  if (fd_ != 0)
    close(fd_);
}

bool RasterInput::open(int argc, char** argv)
{
  if (argc != 6 && argc != 7) {
    std::fputs("ERROR: rastertoxxx job-id user title copies options [file]\n", stderr);
    return false;
  }
  if (argc == 7) {
    int fd = ::open(argv[6], O_RDONLY);
    if (fd == -1) {
      std::perror("ERROR: Unable to open raster file - ");
      sleep(1);
      return false;
    }
    fd_ = fd;
  }
  return true;
}

void startJob()
{
  setupOutput();
  std::signal(SIGPIPE, SIG_IGN);

  // No SA_RESTART: a blocked read returns so the page loop can see the cancel.
  struct sigaction action = {};
  action.sa_handler = onTerminate;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
}

RasterPtr openRaster(int fd)
{
  std::unique_ptr<RasterReader> reader(new RasterReader);  // the block itself needs no clearing
  reader->fd = fd;
  cups_raster_t* ras = cupsRasterOpenIO(readRaster, reader.get(), CUPS_RASTER_READ);
  return RasterPtr(ras, RasterClose{std::move(reader)});
}

bool jobCancelled()
{
  return cancelled != 0;
}

bool readPageHeader(cups_raster_t* ras, cups_page_header_t& header)
{
  return cupsRasterReadHeader(ras, &header) != 0;
}

bool checkOneBitPerDot(const cups_page_header_t& header, int page)
{
  std::uint64_t rowBytes = (static_cast<std::uint64_t>(header.cupsWidth) + 31) / 32 * 4;
  if (header.cupsBitsPerPixel == 1 && header.cupsBytesPerLine <= rowBytes)
    return true;
  std::fprintf(stderr,
               "ERROR: Page %d is not one bit per dot (%u bits per pixel, %u bytes per line "
               "for %u dots); the printer needs a 1-bit black raster\n",
               page, header.cupsBitsPerPixel, header.cupsBytesPerLine, header.cupsWidth);
  return false;
}

bool outputFailed()
{
  static bool reported = false;
  if (!std::ferror(stdout))
    return false;
  if (!reported) {
    std::fprintf(stderr, "ERROR: Unable to write print data: %s\n", std::strerror(errno));
    reported = true;
  }
  return true;
}

int finishJob(int pages)
{
  if (std::fflush(stdout) != 0 || outputFailed()) {
    outputFailed();
    return 1;
  }
  if (jobCancelled()) {
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
