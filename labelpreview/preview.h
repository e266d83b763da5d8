// preview.h: reading a label job that torvane or silvane wrote, and drawing its labels.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// A job is read from a byte span into plain records: one LabelImage per printed label, the
// printer settings the job carries, and notes for a person.  Nothing here reads files or
// writes to the terminal, so a fuzz target can call parseLabelJob on any bytes.

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The largest label bitmap a preview builds, and the largest side in dots.  A 4 x 100 inch
// label at 600 dpi is far below both; hostile size commands cannot ask for gigabytes.
inline constexpr std::uint64_t kMaxLabelBytes = 256ull * 1024 * 1024;
inline constexpr std::uint32_t kMaxLabelDots = 200000;

// The stored graphics and the labels a reader holds at one time, all together.
inline constexpr std::uint64_t kMaxJobPictureBytes = 1024ull * 1024 * 1024;

// The bitmap bytes a job may have drawn or decoded: a fixed allowance and a share per byte of
// the job.  A long job of real labels stays far below it; a few bytes that ask for huge
// labels again and again do not keep a preview busy for hours.
inline constexpr std::uint64_t kJobWorkBytes = 4096ull * 1024 * 1024;
inline constexpr std::uint64_t kJobWorkPerByte = 65536;

// A label as printed: `height` rows of `rowBytes` bytes, bit 7 of a row's first byte its
// leftmost dot, a set bit a black dot.  Bits past `width` in a row's last byte are 0.
struct LabelImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::size_t rowBytes = 0;
  std::vector<unsigned char> bits;
};

// A white image of width x height dots.  The caller keeps the size within the limits above.
LabelImage blankLabelImage(std::uint32_t width, std::uint32_t height);

// True when the dot at x, y is black; dots outside the image are white.
bool labelDot(const LabelImage& image, std::int64_t x, std::int64_t y);

enum class JobLanguage { zpl, dpl };

// ZPL II settings in force when a label printed.  A letter setting is 0 when the job never
// set it; a number setting is empty.
struct ZplSettings {
  std::optional<int> darkness;    // ~SD, 0 to 30
  std::optional<int> printSpeed;  // ^PR, inches per second
  std::optional<int> slewSpeed;
  std::optional<int> backfeedSpeed;
  char mediaSensing = 0;            // ^MN: N continuous, Y/W web (gap), M mark
  char printMethod = 0;             // ^MT: D direct thermal, T thermal transfer
  char orientation = 0;             // ^PO: N normal, I turned by 180 degrees
  char mirror = 0;                  // ^PM: N, Y
  char printMode = 0;               // ^MM: T tear-off, R rewind, P peel-off, C cutter, ...
  char backfeed = 0;                // ~JS
  char dotMode = 0;                 // ^JM: A full dots per millimetre, B half
  std::optional<int> tearOff;       // ~TA, dots
  std::optional<int> labelTop;      // ^LT, dots
  std::optional<int> labelShift;    // ^LS, dots
  std::optional<int> characterSet;  // ^CI
  bool configurationSaved = false;  // ^JUS seen
  int quantity = 1;                 // ^PQ q,p,r,o of the label's format
  int pauseEvery = 0;
  int replicates = 0;
  char overridePause = 'N';
  bool formatPause = false;  // ^PP in the label's format
  bool reversed = false;     // a reversing solid box covers the whole label
};

// DPL settings in force when a label printed.
struct DplSettings {
  std::optional<int> heat;             // Hnn inside the label format
  std::optional<int> printPosition;    // STX JY, dots
  std::optional<int> presentDistance;  // STX Kf, dots
  std::optional<int> labelLength;      // STX c, dots
  std::optional<int> labelWidth;       // STX Kw, dots
  std::string outputMode;              // digits of STX j23
  std::string printType;               // digits of STX j28
  std::string sensorType;              // digits of STX j24
  std::string markSensing;             // digits of STX j48
  char imageOrientation = 0;           // '0' or '1' from STX u
};

struct PreviewLabel {
  LabelImage image;
  std::vector<std::string> fields;  // a ZPL job's fields, each in a line, when drawn
  std::size_t offset = 0;          // first byte of the commands that print it
  ZplSettings zpl;                 // filled for a ZPL job
  DplSettings dpl;                 // filled for a DPL job
  std::vector<std::string> notes;  // what a person should know about this label
};

struct LabelJob {
  JobLanguage language = JobLanguage::zpl;
  std::size_t zeroRun = 0;  // zero bytes in front of the first command
  std::vector<PreviewLabel> labels;
  std::optional<int> outPaperPosition;  // DPL STX JP after the last label, dots
  std::vector<std::string> notes;       // commands read but not acted on
};

// Where and why a job could not be read: `offset` counts bytes from the start of the input,
// `label` the label being read (1 for the first).
struct JobError {
  std::size_t offset = 0;
  int label = 0;
  std::string what;
};

namespace zplrender {
class LabelFont;
}

// How ZPL jobs of any origin are drawn: the resolution, the media for a job that sets no size
// (0: 4 x 6 inches), and the label font (none: text is noted, not drawn).  A job of our own
// filters' commands alone is read exactly as the printer takes it, without these.
struct ZplDrawing {
  int dpi = 203;
  int mediaWidth = 0;
  int mediaHeight = 0;
  std::shared_ptr<zplrender::LabelFont> font;
};

// Receives each label, numbered from 1, as soon as it has been read.  Returning false stops
// the reading.
using LabelSink = std::function<bool(const PreviewLabel& label, int number)>;

// Reads a whole job.  Returns true and fills `job`, or false and fills `error` (with an empty
// `what` when the sink stopped it).  Never reads outside `bytes`.  Without a sink every label
// stays in job.labels.  With one, each label goes to the sink and job.labels keeps its size,
// settings and notes but not its dots, so a job of many labels needs the memory of one.
bool parseLabelJob(std::span<const unsigned char> bytes, LabelJob& job, JobError& error,
                   const LabelSink& sink = nullptr, const ZplDrawing* drawing = nullptr);

// The two languages, each from `start` (just past the zero-byte run).
bool parseZplJob(std::span<const unsigned char> bytes, std::size_t start, LabelJob& job,
                 JobError& error, const LabelSink& sink, const ZplDrawing* drawing = nullptr);
bool parseDplJob(std::span<const unsigned char> bytes, std::size_t start, LabelJob& job,
                 JobError& error, const LabelSink& sink);

// A person's account of the job: per label its size in dots and in millimetres at `dpi`, the
// settings in words with the commands they came from, and the notes.
std::string describeLabelJob(const LabelJob& job, int dpi);

// "12.3": dots as millimetres at `dpi`, one decimal.
std::string dotsToMillimetres(long long dots, int dpi);

// A binary PBM (P4) of the image: 1 is black.
std::string labelPbmBytes(const LabelImage& image);

// Write the image as PBM or as a 1-bit greyscale PNG carrying `dpi`.  Return false with the
// reason in `error` when the file cannot be written.
bool writeLabelPbm(const LabelImage& image, const std::string& path, std::string& error);
bool writeLabelPng(const LabelImage& image, const std::string& path, int dpi, std::string& error);

// The same PNG in memory, in `png`; false with the reason in `error` for an empty image or
// when libpng fails.
bool labelPngBytes(const LabelImage& image, int dpi, std::string& png, std::string& error);
