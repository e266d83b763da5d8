// dpl.h: the DPL job encoder: one job's settings and state, pages pushed in row by row.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Call order, for one job:
//
//   dpl::Job job;
//   dpl::startJob(job, settings, resolution, zeroRun, copies, sink);
//   for each page:
//     dpl::startPage(job, page);          // checks the page; the first sends the preamble
//     dpl::writeRow(job, row) x height;   // page.bytesPerLine bytes of 1-bit dots, 1 = black
//     dpl::finishPage(job);               // trailing blank lines, end of the label
//   dpl::finishJob(job);                  // the out-paper position, flush; how the job ended
//
// Ownership, threads and errors as for the ZPL encoder (zpl.h): the caller owns the record,
// nothing is shared, requestCancel may come from any thread or a signal handler, and a failed
// call leaves its reason in job.error and stops all output.  Scan lines are sent as they
// arrive, so memory stays flat however long the label; a label that has begun is always
// closed (after a cancel, or when the page was cut short) so the printer does not take what
// follows for image data.  With copies above 1 a page's label is kept until it is complete
// and then sent that many times.

#pragma once

#include "encoder.h"
#include "output.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dpl {

// Labels taller or wider than this many dots do not fit the label-size command's four digits.
inline constexpr unsigned kMaxLabelDots = 9999;

// Print settings of a job.  Each choice-number field is the number at the start of the chosen
// PPD choice's keyword, -1 when the PPD lacks the option.
struct settings_ {
  int printtype;         // PrintType: 0 printer's own, 1 direct thermal, 2 thermal transfer
  int pagetype;          // PageType: 0 printer's own, 1 black mark, 2 gap, 3 continuous
  int imagecontrol;      // ImageControl: 0 normal, 1 upside down
  int outpagemode;       // OutMode: 0 tear-off, 1 rewind, 2 peel-off, 3 cutter, 4-5 cutter
                         // with a stop position at the end of the job
  int density;           // Darkness: 0 printer's own, n sends heat n - 1 (1 to 31)
  int printposition;     // PrintPosition: 0 printer's own, half-millimetres, 17 = no offset
  int outpaperposition;  // OutPaperPosition: 0 printer's own
  // Display text of the chosen OutPaperPosition choice, such as "2.5mm"; none when the PPD
  // has no usable choice.
  std::optional<std::string> ourpaperstring;
  // Number in the last three characters of the OutMode keyword, for output modes above 3.
  int ioutposition;
};

// The settings in plain values, for a front end without a PPD (a printer application).
struct PlainSettings {
  int heat = -1;                 // 0 to 30; -1 leaves the printer's setting
  enum Tracking { printerTracking, mark, gap, continuous } tracking = gap;
  enum Media { printerMedia, directThermal, thermalTransfer } media = printerMedia;
  enum Mode { tearOff, rewind, peelOff, cutter } mode = tearOff;
  bool keepPrintPosition = false;  // true: leave the printer's label top position
  double topOffsetMm = 0;        // label top, -8 to +8 mm in half millimetres
  bool keepStopPosition = true;  // true: leave the printer's stop (out-paper) position
  double stopPositionMm = 0;     // stop position, -10 to +10 mm in half millimetres
  bool rotate180 = false;
};

// The settings record for plain values, with the choice numbers the PPDs use.  Offsets are
// rounded to the nearest half millimetre.
settings_ settingsFromValues(const PlainSettings& values);

struct Job {
  settings_ settings = {};
  int resolution = 0;       // dots per inch of the preamble, from startJob
  bool zeroRun = false;     // 512 zero bytes before the preamble
  int copies = 1;           // labels printed from each page
  std::uint64_t pageByteLimit = kMaxPageBytes;  // the largest scan line
  std::atomic<bool> cancelled{false};

  Output out;
  std::string error;        // why the job failed
  int pages = 0;            // pages sent whole
  bool preambleSent = false;
  int iPrnResolution = 0;   // dots per millimetre, from the preamble on
  // The label size command, "\002c" + four height digits + "\r\002Kw" + four width digits +
  // "\r"; the digits are filled from the first page.
  unsigned char PaperCommand[15] = {0x02, 'c',  0xFF, 0xFF, 0xFF, 0xFF, 0x0D, 0x02,
                                    'K',  'w',  0xFF, 0xFF, 0xFF, 0xFF, 0x0D};

  // The page being received.
  PageSize page;
  bool inPage = false;
  std::uint64_t received = 0;            // rows written so far
  unsigned long long numBlankScanLines = 0;  // blank rows not yet sent
  std::vector<unsigned char> pt_d;       // one coded line
  Output copy;                           // the label's bytes, kept when copies > 1
  std::string copyBytes;
};

// Starts a job: keeps the settings and opens the output to `sink`.  Writes nothing yet.
void startJob(Job& job, const settings_& settings, int resolution, bool zeroRun, int copies,
              ByteSink sink);

// Asks the job to stop at the next row.  Safe from a signal handler.
inline void requestCancel(Job& job)
{
  job.cancelled.store(true, std::memory_order_relaxed);
}

// Checks the page (bytes per line within the width and the limit, at most kMaxLabelDots
// high and wide) and begins its label; the first page sends the job preamble with the label
// size.  Fails, sending nothing of the page, when the page cannot be printed.
Status startPage(Job& job, const PageSize& page);

// Takes the next row of the page (page.bytesPerLine bytes) and sends its code; a blank row is
// only counted.  Rows past the height, and rows after a cancel, are ignored.
void writeRow(Job& job, const unsigned char* row);

// Ends the page's label: the blank rows still counted, the end of the image and of the label
// format.  After a cancel, or when fewer rows than the height came, the label is closed where
// it stands; the result is then cancelled or failed.
Status finishPage(Job& job);

// Sends the out-paper position for the modes that take one (not after a cancel) and flushes.
// ok when every page was sent and every byte written, cancelled after a cancel, failed after
// any failure.
Status finishJob(Job& job);

// Fills the digits of job.PaperCommand with the last four decimal digits of the label's
// height and width in dots.
void setPaperSize(Job& job, unsigned long long heightdots, unsigned long long widthdots);

// The job preamble: the zero run where asked, the printer set-up, the label size and the
// output mode.  Sets job.iPrnResolution.
void jobSetup(Job& job);

// The start of a label: print position, label formatting mode, heat and the header of the
// image record that the page's scan lines follow.
void pageSetup(Job& job);

// The end of the image data and of the label format, which prints the label.
void endPage(Job& job);

// The out-paper position for the output modes that take one, once after the last page.
void endJob(Job& job);

// The blank-line code for `n` (at least 1) blank scan lines.
void outputBlankLines(Output& out, unsigned long long n);

// Run-length codes the `LineWidth` bytes at `lpbuf` into `pt_d`, which must hold
// 2 x `LineWidth` bytes.  Returns the number of bytes written, or 0 when every input byte is 0
// (the codes are still written) or `LineWidth` is below 1 (nothing is written).
int encode(const unsigned char* lpbuf, unsigned char* pt_d, int LineWidth);

}  // namespace dpl
