// fuzz_raster.h: feeding a filter's page loop from memory in a fuzz target.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cups/raster.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

// libcups allocates a line buffer as wide as a page header says before the filter can look
// at the header; hostile headers would spend each run mapping and clearing gigabytes.  Such
// allocations fail here instead (libcups then rejects the header).  1 GiB is far above the
// 1 MiB the filters accept in these targets, so every page the filters see is still reached.
extern "C" const char* __asan_default_options()
{
  return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}

// Writes the PPD text to a temporary file and points PPD at it.
inline void fuzzWritePpd(const char* text)
{
  static char path[] = "/tmp/fuzz-ppd-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, text, std::strlen(text)) != static_cast<ssize_t>(std::strlen(text)))
    std::abort();
  close(fd);
  setenv("PPD", path, 1);
}

// One fuzz input: the option string up to the first newline (at most 255 bytes), then the
// raster stream, read by libcups from memory.
class FuzzJob {
 public:
  FuzzJob(const std::uint8_t* data, std::size_t size)
  {
    const void* nl = std::memchr(data, '\n', size < 256 ? size : 256);
    std::size_t n = nl ? static_cast<const std::uint8_t*>(nl) - data : 0;
    options_.assign(reinterpret_cast<const char*>(data), n);
    if (nl)
      n++;
    bytes_ = data + n;
    left_ = size - n;
    ras_ = cupsRasterOpenIO(&FuzzJob::read, this, CUPS_RASTER_READ);
  }
  ~FuzzJob() { cupsRasterClose(ras_); }
  FuzzJob(const FuzzJob&) = delete;
  FuzzJob& operator=(const FuzzJob&) = delete;

  char* options() { return options_.data(); }
  cups_raster_t* raster() { return ras_; }

 private:
  static ssize_t read(void* ctx, unsigned char* buffer, std::size_t length)
  {
    FuzzJob* job = static_cast<FuzzJob*>(ctx);
    std::size_t n = length < job->left_ ? length : job->left_;
    std::memcpy(buffer, job->bytes_, n);
    job->bytes_ += n;
    job->left_ -= n;
    return static_cast<ssize_t>(n);
  }

  std::string options_;
  const std::uint8_t* bytes_;
  std::size_t left_;
  cups_raster_t* ras_;
};
