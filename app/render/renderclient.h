// renderclient.h: documents drawn by label-render, a process of their own under limits.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// A document from the network may ask for any amount of memory or time to draw.  The server
// never draws one in its own process: renderDocument starts the renderer (fork and exec, so
// no library state of the threaded server is inherited), limits its address space and
// processor time, gives it no descriptor but the document and two pipes, and puts it in a
// process group of its own; it is killed when the thread that started it dies with the
// server.  The pages come back over a pipe
// (renderstream.h), each checked before it is handed on whole; a renderer that is too slow,
// runs out of memory, crashes or sends nonsense ends the job with a reason a person can read,
// and is always killed and waited for.  The Label Preview page's jobs are drawn the same way
// (renderPreview), under the smaller limits of a web page.  No PAPPL and no Poppler here.

#pragma once

#include "labelbitmap.h"
#include "placement.h"
#include "previewrecord.h"
#include "renderstream.h"

#include <climits>
#include <cstddef>
#include <functional>
#include <span>
#include <string>

namespace app {

// The installed renderer, as the build configured it.
const char* defaultRendererPath();

// One document to draw for one label size.
struct RenderRequest {
  DocumentFormat format = DocumentFormat::pdf;
  std::string path;                // the document's file; when empty it is read from `fd`
  int fd = -1;                     // the document on a descriptor (a file, or a pipe another
                                   // thread fills), read to its end; left open
  int dpi = 203;
  unsigned width = 0, height = 0;  // the label, in dots
  int firstPage = 1, lastPage = INT_MAX;  // from 1, inclusive
  PlaceOptions place;              // print-scaling, orientation-requested, cropping
};

// Which renderer runs, and what it may use.
struct RendererOptions {
  std::string program = defaultRendererPath();
  std::size_t memoryBytes = std::size_t{512} << 20;  // its address space
  int cpuSeconds = 600;                              // processor time, for the whole document
  int pageSeconds = 60;                              // wall time to open it, and for each page
  int maxPages = 1000;                               // pages one job may print
};

// Each callback may be empty.  Returning false from `document` or `page` stops the job.
struct RenderCallbacks {
  std::function<bool()> canceled;  // asked at least every 100 ms while the renderer works
  // Once, before the first page: the document's page count and the pages that will come
  // (first > last when none will).
  std::function<bool(int documentPages, int first, int last)> document;
  // Each label, whole and of the label's size, in order of pages from `first`; a page may
  // make several (labels found on one sheet), numbered with the page's number.
  std::function<bool(int number, const LabelBitmap& page)> page;
  // What was done to place a page on the label, before its labels (not for every page).
  std::function<void(int number, const std::string& note)> note;
};

enum class RenderStatus {
  ok,            // every page asked for was handed on
  canceled,      // the cancel callback said so
  stopped,       // a callback returned false
  failed,        // the document cannot be drawn (damaged, unreadable, a page without a size)
  noMemory,      // the renderer needed more than its memory limit
  tooSlow,       // a page took longer than its wall time, or the document used up its CPU time
  tooManyPages,  // more pages than maxPages asked for
  crashed,       // the renderer died of a signal or an unexpected exit status
  badOutput,     // the renderer sent something other than the stream, or sizes that lie
  notStarted,    // the renderer cannot be run, or the request cannot be met
};

struct RenderResult {
  RenderStatus status = RenderStatus::ok;
  std::string reason;        // for a person, e.g. "Page 1 took longer than 60 s to draw"
  int documentPages = 0;     // the document's page count, once the renderer said it
  int pagesDone = 0;         // pages that have handed a label to the page callback
  int labelsDone = 0;        // labels handed to the page callback
  std::string log;           // the end of the renderer's standard error, printable text only
};

// Draws the request's pages in a renderer process and hands each to `callbacks.page`.  Returns
// when the renderer has ended and been waited for, whatever happened (an exception from a
// callback too).  Safe to call from several threads at once: it keeps no state between calls.
RenderResult renderDocument(const RenderRequest& request, const RendererOptions& options,
                            const RenderCallbacks& callbacks);

// A kept job drawn for the Label Preview page (label-render preview): its summary (`label` 0)
// or one of its labels as a PNG (1 to kPreviewLabels), at the printer's resolution, on its
// media (0 x 0: 4 x 6 inches) when a raw ZPL job gives no label size.
struct PreviewRequest {
  std::span<const unsigned char> bytes;  // the bytes that went to the printer
  int dpi = 203;
  unsigned mediaWidth = 0, mediaHeight = 0;
  int label = 0;
};

struct PreviewResult {
  RenderStatus status = RenderStatus::ok;  // ok, failed, noMemory, tooSlow, crashed,
                                           // badOutput or notStarted
  std::string reason;   // for a person, to follow "The preview could not be drawn: "
  JobSummary summary;   // for label 0, when ok
  std::string png;      // for a label, when ok
  std::string log;      // the end of the renderer's standard error
};

// What a web page's drawing may use at most: the printing limits, lowered to these.
inline constexpr std::size_t kPreviewMemory = std::size_t{384} << 20;
inline constexpr int kPreviewSeconds = 20;
RendererOptions previewOptions(const RendererOptions& printing);

// Draws the preview in a renderer process under the options' limits (pageSeconds is the wall
// time for all of it) and waits for it to end.  The job goes to the renderer in a memory
// file; what comes back is checked, and its lengths bounded, before anything is sized by
// them.  Safe to call from several threads at once.
PreviewResult renderPreview(const PreviewRequest& request, const RendererOptions& options);

}  // namespace app
