// job.cpp: argument handling, raster input and job status shared by both filters.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "job.h"

#include "command.h"

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

// Reads raster bytes for libcups: -1 on an error or once the job is cancelled.
extern "C" ssize_t readRaster(void* ctx, unsigned char* buffer, size_t bytes)
{
  int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(ctx));
  for (;;) {
    if (cancelled)
      return -1;
    ssize_t count = read(fd, buffer, bytes);
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
  void* ctx = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd));
  return RasterPtr(cupsRasterOpenIO(readRaster, ctx, CUPS_RASTER_READ));
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
