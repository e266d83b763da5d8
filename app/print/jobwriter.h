// jobwriter.h: one job's encoder, whichever language its printer speaks.  The printer
// application's raster callbacks and its document printing both go through this: the ZPL/DPL
// choice is made here once, and the page loop over label bitmaps is written here once.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "dpl.h"
#include "drivers.h"
#include "encoder.h"
#include "output.h"
#include "settings.h"
#include "zpl.h"

#include <functional>
#include <string>

namespace app {

struct LabelBitmap;

struct JobWriter {
  Language language = Language::zpl;
  zpl::Job zpl;
  dpl::Job dpl;
};

// Starts the job: the settings for `values` on the language's encoder, bytes to `sink`.
// Sends nothing yet (the first page sends the job preamble).
void startJob(JobWriter& job, Language language, const LabelValues& values, int dpi, ByteSink sink);

Status startPage(JobWriter& job, const PageSize& page);
void writeRow(JobWriter& job, const unsigned char* row);
Status finishPage(JobWriter& job);
// Flushes the output; ok when every page and every byte went out.
Status finishJob(JobWriter& job);

// Asks the job to start nothing new: the label in flight is finished (the rest of a ZPL
// graphic download, the end of a DPL label), so that the printer is never left inside half
// a label.  Safe from any thread.
void requestCancel(JobWriter& job);

// Why the job failed.
const std::string& jobError(const JobWriter& job);

// Prints one label bitmap as a page at `dpi`; `cancelled` is asked before each row.
Status writeBitmap(JobWriter& job, const LabelBitmap& page, int dpi,
                   const std::function<bool()>& cancelled);

}  // namespace app
