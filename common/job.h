// job.h: a filter's run, shared by both filters: arguments, raster input, page-header checks,
// the raster loop that feeds a job encoder, cancellation and the end-of-job report.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "encoder.h"
#include "output.h"

#include <cups/raster.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Read-ahead for the raster input.  libcups asks for one row at a time, and a read() per row
// costs more than the row itself; the rows are served from blocks read whole.
struct RasterReader {
  int fd = 0;
  const std::atomic<bool>* cancelled = nullptr;  // the job's cancel flag; reads stop once set
  std::size_t next = 0;  // first byte of `data` not yet handed to libcups
  std::size_t end = 0;   // bytes in `data`
  unsigned char data[64 * 1024];
};

// Closes the raster stream; the read-ahead it reads through goes with it.
struct RasterClose {
  std::unique_ptr<RasterReader> reader;
  void operator()(cups_raster_t* r) const noexcept { cupsRasterClose(r); }
};
using RasterPtr = std::unique_ptr<cups_raster_t, RasterClose>;

// The raster input: standard input, or the file named by the seventh argument.  Descriptor 0
// belongs to CUPS and is never closed here.
class RasterInput {
 public:
  RasterInput() = default;
  ~RasterInput();
  RasterInput(const RasterInput&) = delete;
  RasterInput& operator=(const RasterInput&) = delete;

  // Checks the argument count and opens the input (close-on-exec, so the host probe's shells
  // do not hold it).  On failure writes the filter's "ERROR: " line (and waits a second when
  // the file cannot be opened, as CUPS filters do) and returns false.
  bool open(int argc, char** argv, const char* program);
  int fd() const { return fd_; }

 private:
  int fd_ = 0;
};

// Opens the raster stream on `fd`.  Reads retry after a signal until `cancelled` is set, so
// a cancel ends even a read that is waiting for data.
RasterPtr openRaster(int fd, const std::atomic<bool>* cancelled);

// Prepares the process for a job: SIGPIPE ignored, so that a closed output is a write error
// rather than a silent death, and SIGTERM (CUPS's cancel) setting `cancelled` (nothing once
// it is null again).  SIGTERM interrupts a blocked read, so the loop sees the cancel; the
// output's writes retry after it, so no printer byte is lost.
void catchCancel(std::atomic<bool>* cancelled);

// Reads the next page header; false at the end of the stream or on a header libcups rejects.
bool readPageHeader(cups_raster_t* ras, cups_page_header_t& header);

// True when the page is one bit per dot of black (colour space K) with no more bytes per line
// than its width needs, rounded up to 32 dots.  Otherwise writes an "ERROR: " line naming
// page `page`.
bool checkOneBitPerDot(const cups_page_header_t& header, int page);

// The copies the filter makes itself: the job's copies when CUPS hands it raster directly
// (no filter before it made them), else 1.
int filterCopies(const char* copiesArgument);

// How a filter runs its encoder.
struct FilterRun {
  const char* name;             // the program's name, for its usage line
  bool (*needsZeroRun)();       // the host probe, asked once before the first page
  bool progress;                // "INFO: Printing page ..." lines while a page goes out
};

// Writes the closing status line of a job that ended with `status` after `pages` whole pages
// (`error` the reason of a failure) and returns the exit status: 0 for a complete job with
// pages, 1 otherwise.
int reportJob(Status status, int pages, const std::string& error);

// Feeds every page of the raster stream to the job encoder (the namespace of `Job` supplies
// startJob, startPage, writeRow, finishPage and finishJob), writing each page's "PAGE:" line
// once it is sent.  Returns the exit status.
template <class Job, class Settings>
int printPages(cups_raster_t* ras, const Settings& settings, Job& job, const FilterRun& run,
               int copies, ByteSink sink)
{
  bool started = false;
  cups_page_header_t header;
  std::vector<unsigned char> row;
  Status status = Status::ok;

  while (ras != nullptr && !job.cancelled.load() && readPageHeader(ras, header)) {
    if (header.cupsHeight == 0 || header.cupsBytesPerLine == 0)
      break;
    int number = job.pages + 1;
    if (!checkOneBitPerDot(header, number)) {
      if (started)
        finishJob(job);
      return 1;
    }
    if (!started) {
      bool zeroRun = run.needsZeroRun != nullptr && run.needsZeroRun();
      std::fprintf(stderr, "DEBUG: %s: %s, %d cop%s made here\n", run.name,
                   zeroRun ? "512 zero bytes before the job" : "no zero bytes before the job",
                   copies, copies == 1 ? "y" : "ies");
      startJob(job, settings, static_cast<int>(header.HWResolution[0]), zeroRun, copies, sink);
      started = true;
    }
    std::fprintf(stderr, "DEBUG: Page %d: %u x %u dots, %u bytes per line, %u dpi\n", number,
                 header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine,
                 header.HWResolution[0]);

    PageSize page;
    page.width = header.cupsWidth;
    page.height = header.cupsHeight;
    page.bytesPerLine = header.cupsBytesPerLine;
    page.resolution = static_cast<int>(header.HWResolution[0]);
    status = startPage(job, page);
    if (status != Status::ok)
      break;
    if (row.size() < header.cupsBytesPerLine)
      row.resize(header.cupsBytesPerLine);

    for (std::uint32_t y = 0; y < header.cupsHeight; y++) {
      if ((y & 127) == 0) {
        if (job.cancelled.load() || outputFailed(job.out))
          break;
        if (run.progress) {
          // In 64 bits: y x 100 outgrows 32 bits on a page of more than 42 million lines.
          unsigned percent = static_cast<unsigned>(y * 100ull / header.cupsHeight);
          std::fprintf(stderr, "INFO: Printing page %d, %u%% complete...\n", number, percent);
        }
      }
      if (cupsRasterReadPixels(ras, row.data(), header.cupsBytesPerLine) == 0)
        break;
      writeRow(job, row.data());
    }
    status = finishPage(job);
    if (status != Status::ok)
      break;
    std::fprintf(stderr, "PAGE: %d %d\n", job.pages, job.copies);
  }

  // A job that ends without pages still ends as the printer expects (resolution unknown).
  if (!started && status == Status::ok && !job.cancelled.load()) {
    startJob(job, settings, 0, false, copies, sink);
    started = true;
  }
  if (started) {
    Status end = finishJob(job);
    if (status == Status::ok || end == Status::failed)
      status = end;
  } else if (job.cancelled.load()) {
    status = Status::cancelled;
  }
  return reportJob(status, job.pages, job.error);
}

// A filter's whole run: arguments and input, the job's settings from the PPD and options,
// then every page to standard output.  Returns the exit status.
template <class Job, class Settings>
int runFilter(int argc, char** argv, const FilterRun& run,
              bool (*initialize)(char*, Settings*))
{
  Job job;
  catchCancel(&job.cancelled);

  RasterInput input;
  if (!input.open(argc, argv, run.name))
    return 1;

  Settings settings;
  if (!initialize(argv[5], &settings))
    return 1;

  int fd = 1;
  RasterPtr ras = openRaster(input.fd(), &job.cancelled);
  int status = printPages(ras.get(), settings, job, run, filterCopies(argv[4]), fdSink(&fd));
  catchCancel(nullptr);
  return status;
}
