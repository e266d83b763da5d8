// renderer.h: the work of label-render: one document's pages drawn and written as a stream.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "placement.h"
#include "renderstream.h"

#include <string>

namespace app {

struct RenderJob {
  DocumentFormat format = DocumentFormat::pdf;
  int dpi = 203;
  unsigned width = 0, height = 0;  // the label, in dots
  int firstPage = 1, lastPage = 1;  // from 1, inclusive; clamped to the document's pages
  PlaceOptions place;               // how each page goes on the label (placement.h)
  // Preview mode (label-render preview): -1 not; 0 the job's summary; N label N as a PNG.  The
  // label's width and height are then the printer's media, 0 for 4 x 6 inches.
  int previewLabel = -1;
  std::string path;                 // the document; empty when it is read from `input`
  int input = 0;
  // True once an allocation has been refused (label-render watches its allocator): whatever
  // was being drawn then may lack part of the document, so nothing more is sent.
  bool (*allocationRefused)() = nullptr;
};

// Reads the renderer's arguments (renderstream.h) into `job`; false with `error` set when they
// are not what the client sends.
bool parseRenderArguments(int argc, const char* const* argv, RenderJob& job, std::string& error);

// Draws the job's pages and writes the stream to `out`; returns the exit status (RenderExit).
int writeRenderStream(const RenderJob& job, int out);

}  // namespace app
