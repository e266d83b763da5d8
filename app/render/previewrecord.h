// previewrecord.h: what the Label Preview page shows of a kept job, and its record on the
// renderer's stream (renderstream.h), for both sides.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace app {

inline constexpr int kPreviewLabels = 4;  // labels drawn of each job

// A setting of a label in words: "Darkness", "15 of 30 (~SD15)".
struct Setting {
  std::string name;
  std::string value;
};

// What the page shows of a job.
struct JobSummary {
  std::string problem;  // why some or all of the job cannot be shown; empty when all can
  int labels = 0;       // labels drawn, at most kPreviewLabels
  bool moreLabels = false;
  std::vector<std::vector<Setting>> settings;  // of each drawn label: size, darkness, speed,
                                               // media, mode, orientation
  std::string description;                     // the whole account of the drawn labels
};

// The most bytes a summary record carries, the most settings of one label in it, and the most
// bytes of a label's PNG.  The server checks each length against these before it allocates.
inline constexpr std::size_t kSummaryLimit = 1u << 20;
inline constexpr std::size_t kSummarySettings = 16;
inline constexpr std::size_t kPreviewPngLimit = 32u << 20;
// The longest problem, setting name and setting value a record carries; longer ones are cut.
inline constexpr std::size_t kSummaryProblemLimit = 64u << 10;
inline constexpr std::size_t kSettingNameLimit = 256;
inline constexpr std::size_t kSettingValueLimit = 1024;

// The summary as a record's bytes, within kSummaryLimit: a description too long for it is
// cut, with a line that says so; texts past their limits are cut, settings past
// kSummarySettings left out.
std::string encodeSummary(const JobSummary& summary);

// Reads a record's bytes back; false with `error` set when they are not a summary as
// encodeSummary writes one (a length past the end, too many labels or settings, bytes left).
bool decodeSummary(std::span<const unsigned char> bytes, JobSummary& summary, std::string& error);

}  // namespace app
