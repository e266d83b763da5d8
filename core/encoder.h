// encoder.h: what the ZPL and DPL job encoders share: page sizes, results, limits.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cstdint>

// The largest page bitmap a job accepts (the default of Job::pageByteLimit).  An 8.5 x 100
// inch label at 600 dpi needs about 38 MB, so this is far above any real label while keeping
// a hostile header from asking for gigabytes.
inline constexpr std::uint64_t kMaxPageBytes = 256ull * 1024 * 1024;

// How a call ended.
enum class Status { ok, cancelled, failed };

// One page as the encoders see it.
struct PageSize {
  unsigned width = 0;         // dots per row
  unsigned height = 0;        // rows
  unsigned bytesPerLine = 0;  // bytes of each row passed to writeRow, at least 1
  int resolution = 0;         // dots per inch
};

// Dots per millimetre for a resolution in dots per inch: round(dpi / 25.4).
int dotsPerMillimetre(int dpi);


// The distance of `steps` half millimetres in dots, truncated toward zero and clamped to the
// int range.  Position choices count half millimetres from their no-offset choice.
int halfMillimetreDots(double steps, int dotsPerMm);

// The choice number of a distance in millimetres, rounded to the nearest half millimetre,
// counted from the no-offset choice `centre` (an absurd distance counts as none).
int halfMillimetreChoice(double mm, int centre);
