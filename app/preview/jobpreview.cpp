// jobpreview.cpp: the last jobs of each printer, and their labels drawn for the web page.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "jobpreview.h"

#include "preview.h"

#include "zplrender.h"

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <new>
#include <span>

namespace app {
namespace {

// The label font, read once for the process; null (text noted, not drawn) when it cannot be.
std::shared_ptr<zplrender::LabelFont> labelFont()
{
  static const std::shared_ptr<zplrender::LabelFont> font = [] {
    std::ifstream file(zplrender::kLabelFontPath, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::string error;
    return file ? zplrender::loadLabelFont(std::move(bytes), error) : nullptr;
  }();
  return font;
}

// One face draws for one thread at a time: web pages that draw ZPL take turns.
std::mutex drawingTurn;

// Reads the kept job as parseLabelJob does; a raw ZPL job is drawn at the printer's resolution
// on its media, with the label font.
bool readKeptJob(const KeptJob& kept, LabelJob& job, JobError& error, const LabelSink& sink)
{
  ZplDrawing drawing;
  drawing.dpi = kept.dpi;
  drawing.mediaWidth = kept.mediaWidth;
  drawing.mediaHeight = kept.mediaHeight;
  drawing.font = labelFont();
  std::lock_guard<std::mutex> hold(drawingTurn);
  return parseLabelJob(kept.bytes, job, error, sink, &drawing);
}

constexpr const char* kUnset = "not set by the job (the printer keeps its own)";

struct Meaning {
  char letter;
  const char* words;
};

// A letter setting in words with the command it came from; kUnset for 0.
std::string letterWords(char letter, std::initializer_list<Meaning> meanings, const char* command)
{
  if (letter == 0)
    return kUnset;
  std::string code = std::string(" (") + command + letter + ")";
  for (const Meaning& m : meanings) {
    if (m.letter == letter)
      return m.words + code;
  }
  return "unknown" + code;
}

struct CodeMeaning {
  const char* digits;
  const char* words;
};

std::string codeWords(const std::string& digits, std::initializer_list<CodeMeaning> meanings,
                      const char* command)
{
  if (digits.empty())
    return kUnset;
  for (const CodeMeaning& m : meanings) {
    if (digits == m.digits)
      return std::string(m.words) + " (STX " + command + digits + ")";
  }
  return "code " + digits + " (STX " + command + ")";
}

std::vector<Setting> labelSettings(const LabelJob& job, const PreviewLabel& label, int dpi)
{
  std::vector<Setting> out;
  out.push_back({"Size", std::to_string(label.image.width) + " x " +
                             std::to_string(label.image.height) + " dots, " +
                             dotsToMillimetres(label.image.width, dpi) + " x " +
                             dotsToMillimetres(label.image.height, dpi) + " mm at " +
                             std::to_string(dpi) + " dpi"});
  if (job.language == JobLanguage::zpl) {
    const ZplSettings& s = label.zpl;
    out.push_back({"Darkness", s.darkness ? std::to_string(*s.darkness) + " of 30 (~SD" +
                                                std::to_string(*s.darkness) + ")"
                                          : kUnset});
    out.push_back({"Speed", s.printSpeed ? std::to_string(*s.printSpeed) + " in/s (^PR" +
                                               std::to_string(*s.printSpeed) + ")"
                                         : kUnset});
    out.push_back({"Media", letterWords(s.mediaSensing,
                                        {{'N', "continuous"},
                                         {'Y', "labels with gaps"},
                                         {'W', "labels with gaps"},
                                         {'M', "labels with black marks"},
                                         {'A', "found by the printer"},
                                         {'V', "continuous, variable length"}},
                                        "^MN")});
    out.push_back({"Mode", letterWords(s.printMode,
                                       {{'T', "tear-off"},
                                        {'R', "rewind"},
                                        {'P', "peel-off"},
                                        {'C', "cutter"},
                                        {'D', "delayed cut"},
                                        {'A', "applicator"},
                                        {'K', "kiosk"}},
                                       "^MM")});
    std::string orientation =
        letterWords(s.orientation, {{'N', "normal"}, {'I', "turned by 180 degrees"}}, "^PO");
    if (s.mirror == 'Y')
      orientation += ", mirrored (^PMY)";
    out.push_back({"Orientation", orientation});
  } else {
    const DplSettings& s = label.dpl;
    out.push_back({"Darkness", s.heat ? std::to_string(*s.heat) + " of 30 (H" +
                                            (*s.heat < 10 ? "0" : "") + std::to_string(*s.heat) + ")"
                                      : kUnset});
    out.push_back({"Speed", kUnset});
    out.push_back({"Media", codeWords(s.sensorType,
                                      {{"000", "labels with gaps or marks"}, {"040", "continuous"}},
                                      "j24")});
    out.push_back({"Mode", codeWords(s.outputMode,
                                     {{"000", "tear-off"},
                                      {"020", "rewind"},
                                      {"010", "peel-off"},
                                      {"030", "cutter"}},
                                     "j23")});
    out.push_back({"Orientation", s.imageOrientation == 0     ? std::string(kUnset)
                                  : s.imageOrientation == '0' ? std::string("normal (STX u0)")
                                                              : std::string("turned (STX u1)")});
  }
  return out;
}

std::uint64_t keptBytes(const std::deque<std::shared_ptr<const KeptJob>>& jobs)
{
  std::uint64_t sum = 0;
  for (const auto& job : jobs)
    sum += job->bytes.size();
  return sum;
}

}  // namespace

void captureBytes(JobCapture& capture, const unsigned char* data, std::size_t length,
                  std::size_t limit) noexcept
{
  capture.total += length;
  if (capture.tooLarge)
    return;
  if (capture.total <= limit) {
    try {
      capture.bytes.insert(capture.bytes.end(), data, data + length);
      return;
    } catch (const std::bad_alloc&) {
    }
  }
  capture.tooLarge = true;
  std::vector<unsigned char>().swap(capture.bytes);
}

void keepJob(PreviewShelf& shelf, KeptJob job, std::size_t jobs, std::size_t bytes)
{
  auto kept = std::make_shared<const KeptJob>(std::move(job));
  std::lock_guard<std::mutex> hold(shelf.lock);
  auto& list = shelf.jobs;
  list.push_front(std::move(kept));
  while (list.size() > 1 && (list.size() > jobs || keptBytes(list) > bytes))
    list.pop_back();
}

std::vector<std::shared_ptr<const KeptJob>> keptJobs(PreviewShelf& shelf)
{
  std::lock_guard<std::mutex> hold(shelf.lock);
  return {shelf.jobs.begin(), shelf.jobs.end()};
}

std::shared_ptr<const KeptJob> findKeptJob(PreviewShelf& shelf, int id)
{
  for (auto& job : keptJobs(shelf)) {
    if (job->id == id)
      return job;
  }
  return nullptr;
}

JobSummary summarizeJob(const KeptJob& kept)
{
  JobSummary summary;
  if (kept.tooLarge) {
    summary.problem = "The job is too large to preview (" + std::to_string(kept.total) +
                      " bytes; at most " + std::to_string(kCaptureLimit) + " are kept).";
    return summary;
  }
  if (kept.bytes.empty()) {
    summary.problem = "Nothing was sent to the printer.";
    return summary;
  }

  // The labels are read without keeping their dots; one past the last drawn tells that the
  // job has more.
  LabelJob job;
  JobError error;
  int seen = 0;
  bool read = readKeptJob(kept, job, error, [&](const PreviewLabel&, int) {
    if (++seen > kPreviewLabels) {
      summary.moreLabels = true;
      return false;
    }
    return true;
  });
  if (job.labels.size() > static_cast<std::size_t>(kPreviewLabels))
    job.labels.resize(kPreviewLabels);
  if (summary.moreLabels)
    job.notes.push_back("the job has more labels; the reading stopped after " +
                        std::to_string(kPreviewLabels));
  summary.labels = static_cast<int>(job.labels.size());
  for (const PreviewLabel& label : job.labels)
    summary.settings.push_back(labelSettings(job, label, kept.dpi));
  summary.description = describeLabelJob(job, kept.dpi);
  if (!read && !error.what.empty())
    summary.problem = "The job cannot be read past byte " + std::to_string(error.offset) +
                      " (label " + std::to_string(error.label) + "): " + error.what;
  else if (summary.labels == 0)
    summary.problem = "The job has no labels.";
  return summary;
}

bool labelPng(const KeptJob& kept, int number, std::string& png, std::string& error)
{
  if (kept.tooLarge || number < 1 || number > kPreviewLabels) {
    error = "no such label";
    return false;
  }
  LabelJob job;
  JobError jobError;
  bool found = false, drawn = false;
  readKeptJob(kept, job, jobError, [&](const PreviewLabel& label, int n) {
    if (n < number)
      return true;
    found = true;
    drawn = labelPngBytes(label.image, kept.dpi, png, error);
    return false;
  });
  if (!found)
    error = jobError.what.empty() ? "no such label" : jobError.what;
  return found && drawn;
}

}  // namespace app
