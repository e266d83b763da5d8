// zpl.h: the ZPL II job encoder: one job's settings and state, pages pushed in row by row.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Call order, for one job:
//
//   zpl::Job job;
//   zpl::startJob(job, settings, resolution, zeroRun, copies, sink);
//   for each page:
//     zpl::startPage(job, page);          // checks the page; the job preamble goes first
//     zpl::writeRow(job, row) x height;   // page.bytesPerLine bytes of 1-bit dots, 1 = black
//     zpl::finishPage(job);               // the page's graphic download and label formats
//   zpl::finishJob(job);                  // flushes; says how the job ended
//
// Ownership: the caller owns the Job record and the sink's context; the record owns its
// buffers and the page bitmap.  Nothing is shared between records and nothing is global, so
// jobs on different threads do not meet.  The record is used by one thread at a time, except
// requestCancel, which any thread or a signal handler may call.
//
// Errors: a call that returns Status::failed has put the reason in job.error (a sentence
// without an "ERROR: " prefix); from then on the job writes nothing more and every call
// returns failed.  A page is either sent whole or not at all: its download starts only in
// finishPage, after every row has arrived, and once started it is finished even when a
// cancel comes meanwhile.  A page with fewer rows than its height (the stream was cut) sends
// nothing and fails the job.  A cancel makes startPage and finishPage return
// Status::cancelled without sending the page; the pages before it stay whole.

#pragma once

#include "encoder.h"
#include "output.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace zpl {

// Print settings of a job: each field is the number of the chosen PPD choice, -1 when the
// PPD lacks the option.  A number outside an option's table sends nothing for it.
struct settings_ {
  int printtype;        // MediaType: 1 direct thermal, 2 thermal transfer, 0 printer's own
  int pagetype;         // PageType: 0 continuous, 1 mark, 2 web (gap)
  int imagecontrol;     // ImageControl: 0 normal, 1 rotated 180 degrees
  int outpagemode;      // OutMode: 0 tear-off, 1 rewind, 2 peel-off, 3 cutter
  int density;          // Darkness: 0 to 30
  int printposition;    // PrintPosition: half-millimetres, 20 = no offset
  int tearoffposition;  // TearoffPosition: half-millimetres, 20 = no offset
  int mirror;           // PrintMirror: 0 normal, 1 mirrored
  int inverse;          // Inverse: 0 normal, 1 negative print
  int printspeed;       // PrintSpeed: n sends n + 1 in/s for 1 to 11, 0 printer's own
  int pause;            // Pause: 0 none, 1 and 2 pause after each label
  int graphicencoding;  // GraphicEncoding: 1 Z64 (deflate, Base64, CRC), else compressed hex
};

// The settings in plain values, for a front end without a PPD (a printer application).
struct PlainSettings {
  int darkness = -1;             // 0 to 30; -1 leaves the printer's setting
  int speed = 0;                 // inches per second, 2 to 12; 0 leaves the printer's
  enum Tracking { continuous, mark, gap, printerTracking } tracking = gap;
  enum Media { printerMedia, directThermal, thermalTransfer } media = printerMedia;
  enum Mode { tearOff, rewind, peelOff, cutter, printerMode } mode = tearOff;
  double topOffsetMm = 0;        // label top, -10 to +10 mm in half millimetres
  double tearOffMm = 0;          // tear-off position, -10 to +10 mm in half millimetres
  bool rotate180 = false;
  bool mirror = false;
  bool reverse = false;          // negative print
  bool pause = false;            // pause after each label
  bool z64 = false;              // graphic data as Z64 (current firmware) instead of hex
};

// The settings record for plain values, with the choice numbers the PPDs use.  Offsets are
// rounded to the nearest half millimetre.
settings_ settingsFromValues(const PlainSettings& values);

struct Job {
  settings_ settings = {};
  int resolution = 0;       // dots per inch of the preamble, from startJob
  bool zeroRun = false;     // 512 zero bytes before the preamble
  int copies = 1;           // labels printed from each page
  std::uint64_t pageByteLimit = kMaxPageBytes;
  std::atomic<bool> cancelled{false};

  Output out;
  std::string error;        // why the job failed
  int pages = 0;            // pages sent whole
  bool preambleSent = false;

  // The page being received.
  PageSize page;
  bool inPage = false;
  std::uint64_t rowBytes = 0;   // bytes of a bitmap row: the width rounded up to 32 dots
  std::uint64_t rows = 0;       // bitmap rows: the height rounded up to 32
  std::uint64_t received = 0;   // rows written so far
  std::vector<unsigned char> bitmap;
};

// Starts a job: keeps the settings and opens the output to `sink`.  Writes nothing yet.
void startJob(Job& job, const settings_& settings, int resolution, bool zeroRun, int copies,
              ByteSink sink);

// Asks the job to stop at the next page boundary.  Safe from a signal handler.
inline void requestCancel(Job& job)
{
  job.cancelled.store(true, std::memory_order_relaxed);
}

// Checks the page (bytes per line within the width, bitmap within the limit and allocatable)
// and prepares its bitmap; the first page sends the job preamble.  Fails, sending nothing of
// the page, when the page cannot be printed.
Status startPage(Job& job, const PageSize& page);

// Takes the next row of the page (page.bytesPerLine bytes).  Rows past the height are ignored.
void writeRow(Job& job, const unsigned char* row);

// Sends the page: its graphic download, the label format that prints it (copies times) and
// the format that deletes it.
Status finishPage(Job& job);

// Flushes the output.  ok when every page was sent and every byte written, cancelled after a
// cancel, failed after any failure.
Status finishJob(Job& job);

// The job preamble: the zero run where asked, then one format that sets up and saves the
// printer configuration.
void jobSetup(Job& job);

// The two formats that print the downloaded graphic 000.GRF and delete it again.
void endPage(Job& job, int iPaperWidth, int iPaperHeight, int lWidth, int lHeight,
             int iResolution);

}  // namespace zpl
