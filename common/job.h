// job.h: the parts of a filter's run that both filters share: arguments, raster input,
// page-header checks, cancellation and the end-of-job report.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <memory>

// The largest page bitmap (torvane) or scan line (silvane) a filter accepts.  An 8.5 x 100
// inch label at 600 dpi needs about 38 MB, so this is far above any real label while keeping a
// hostile header from asking for gigabytes.
inline constexpr std::uint64_t kMaxPageBytes = 256ull * 1024 * 1024;

// The limit in force: kMaxPageBytes, lowered only by fuzz targets so that they can afford
// thousands of runs a second.
extern std::uint64_t pageByteLimit;

// Read-ahead for the raster input.  libcups asks for one row at a time, and a read() per row
// costs more than the row itself; the rows are served from blocks read whole.
struct RasterReader {
  int fd = 0;
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

  // Checks the argument count and opens the input.  On failure writes the filter's "ERROR: "
  // line (and waits a second when the file cannot be opened, as CUPS filters do) and returns
  // false.
  bool open(int argc, char** argv);
  int fd() const { return fd_; }

 private:
  int fd_ = 0;
};

// Opens the raster stream on `fd`.  Reads retry after a signal unless the job has been
// cancelled, so a cancel ends even a read that is waiting for data.
RasterPtr openRaster(int fd);

// Prepares the process for a job: a large output buffer, SIGPIPE ignored so that a closed
// output is a write error rather than a silent death, and SIGTERM (CUPS's cancel) noted.
void startJob();

// True once CUPS has asked the job to stop (SIGTERM).
bool jobCancelled();

// Reads the next page header; false at the end of the stream or on a header libcups rejects.
bool readPageHeader(cups_raster_t* ras, cups_page_header_t& header);

// True when the page is one bit per dot with no more bytes per line than its width needs,
// rounded up to 32 dots.  Otherwise writes an "ERROR: " line naming page `page`.
bool checkOneBitPerDot(const cups_page_header_t& header, int page);

// True when standard output has failed; writes an "ERROR: " line once.
bool outputFailed();

// A filter's whole run: arguments and input, the job's settings from the PPD and options,
// then every page.  Returns the exit status.
template <class Settings>
int runFilter(int argc, char** argv, bool (*initialize)(char*, Settings*),
              int (*print)(cups_raster_t*, Settings))
{
  startJob();

  RasterInput input;
  if (!input.open(argc, argv))
    return 1;

  Settings settings;
  if (!initialize(argv[5], &settings))
    return 1;

  RasterPtr ras = openRaster(input.fd());
  return print(ras.get(), settings);
}

// Flushes standard output and writes the job's closing status line.  Returns the exit
// status: 0 when pages were sent and every byte was written, 1 otherwise (also for a
// cancelled job).  `pages` counts the pages sent whole.
int finishJob(int pages);
