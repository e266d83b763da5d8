// jobpreview.h: the last jobs each printer printed, kept as the bytes that went to the device,
// and drawn as labels for the printer's web page.  No PAPPL here.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// A job copies what it writes to the device into its JobCapture, up to kCaptureLimit bytes;
// when it ends the capture goes onto the shelf, which keeps the last kPreviewJobs jobs of each
// printer and at most kPreviewBytes of their bytes.  A kept job never changes, so web clients
// read it without a lock while other jobs print; the shelf itself has one.  The labels are
// drawn when a page asks for them, not while the job prints, and never in the server's
// process: a kept job may be a network client's raw ZPL, so the renderer reads and draws it
// under the limits of a web page (renderclient.h), and a job it cannot draw in them shows why.

#pragma once

#include "previewrecord.h"
#include "renderclient.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace app {

inline constexpr std::size_t kCaptureLimit = 4u << 20;  // bytes kept of one job
inline constexpr std::size_t kPreviewJobs = 4;          // jobs kept of each printer
inline constexpr std::size_t kPreviewBytes = 8u << 20;  // bytes kept of each printer's jobs

// One job's output as it goes to the device: the first `limit` bytes, and the count of all.
struct JobCapture {
  std::vector<unsigned char> bytes;
  std::uint64_t total = 0;
  bool tooLarge = false;  // more than `limit` bytes were written; `bytes` is then empty
};

// Adds bytes written to the device.  Past `limit` (or when memory runs out) the bytes are
// dropped and the capture only counts: a job that cannot be shown whole is not shown at all.
// Never throws, since it runs inside PAPPL's callbacks.
void captureBytes(JobCapture& capture, const unsigned char* data, std::size_t length,
                  std::size_t limit = kCaptureLimit) noexcept;

// A finished job as the shelf keeps it.  A raw ZPL job from a client is drawn as the printer
// draws it, at `dpi`, on the printer's media when the job gives no label size.
struct KeptJob {
  int id = 0;
  std::string name;
  int dpi = 203;
  int mediaWidth = 0, mediaHeight = 0;  // dots; 0 for 4 x 6 inches
  bool failed = false;  // the job did not complete
  std::uint64_t total = 0;
  bool tooLarge = false;
  std::vector<unsigned char> bytes;  // empty when too large
};

// One printer's kept jobs, newest first.
struct PreviewShelf {
  std::mutex lock;
  std::deque<std::shared_ptr<const KeptJob>> jobs;
};

// Keeps a finished job: the oldest jobs go while there are more than `jobs` or their bytes
// come to more than `bytes` (the newest job always stays).
void keepJob(PreviewShelf& shelf, KeptJob job, std::size_t jobs = kPreviewJobs,
             std::size_t bytes = kPreviewBytes);

// The kept jobs, newest first.
std::vector<std::shared_ptr<const KeptJob>> keptJobs(PreviewShelf& shelf);

// The kept job `id`, or null.
std::shared_ptr<const KeptJob> findKeptJob(PreviewShelf& shelf, int id);

// The preview renderers a server runs at once.  Each page view or label image waits for a
// turn, at most `wait`, so that many clients asking at once cannot start a renderer each (and
// its memory) in the server's name; one that gets no turn is told so.
struct PreviewTurns {
  std::mutex lock;
  std::condition_variable freed;
  int running = 0;
  int most = 2;
  std::chrono::milliseconds wait{20000};
};

// Reads the job (up to one label past kPreviewLabels) for the page, in the renderer `renderer`
// names, under its limits lowered to a web page's (previewOptions), in one of `turns`.  A job
// the renderer cannot draw in them (or a renderer that fails, or no turn) has the reason in
// `problem`.
JobSummary summarizeJob(const KeptJob& job, const RendererOptions& renderer, PreviewTurns& turns);

// Label `number` (from 1) of the job as a 1-bit PNG carrying the job's resolution, drawn the
// same way; false with `error` set when there is no such label or it cannot be drawn.
bool labelPng(const KeptJob& job, int number, const RendererOptions& renderer, PreviewTurns& turns,
              std::string& png, std::string& error);

}  // namespace app
