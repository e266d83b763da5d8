// previewdrawing.cpp: a kept job's labels read, described and drawn for the preview page.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "previewdrawing.h"

#include "preview.h"

#include "zplrender.h"

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>

namespace app {
namespace {

// The font file is read whole; a larger one is refused.
constexpr std::streamoff kFontFileLimit = 16 << 20;

// Reads the job as parseLabelJob does; a raw ZPL job is drawn at the printer's resolution on
// its media, with the label font.
bool readKeptJob(std::span<const unsigned char> bytes, const PreviewTarget& target, LabelJob& job,
                 JobError& error, const LabelSink& sink)
{
  ZplDrawing drawing;
  drawing.dpi = target.dpi;
  drawing.mediaWidth = target.mediaWidth;
  drawing.mediaHeight = target.mediaHeight;
  drawing.font = target.font;
  return parseLabelJob(bytes, job, error, sink, &drawing);
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

}  // namespace

std::shared_ptr<zplrender::LabelFont> readLabelFont(std::string& error)
{
  std::ifstream file(zplrender::kLabelFontPath, std::ios::binary | std::ios::ate);
  if (!file || file.tellg() > kFontFileLimit) {
    error = std::string("the label font ") + zplrender::kLabelFontPath + " cannot be read";
    return nullptr;
  }
  file.seekg(0);
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return zplrender::loadLabelFont(std::move(bytes), error);
}

JobSummary summarizeLabels(std::span<const unsigned char> bytes, const PreviewTarget& target)
{
  // The labels are read without keeping their dots; one past the last drawn tells that the
  // job has more.
  JobSummary summary;
  LabelJob job;
  JobError error;
  int seen = 0;
  bool read = readKeptJob(bytes, target, job, error, [&](const PreviewLabel&, int) {
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
    summary.settings.push_back(labelSettings(job, label, target.dpi));
  summary.description = describeLabelJob(job, target.dpi);
  if (!read && !error.what.empty())
    summary.problem = "The job cannot be read past byte " + std::to_string(error.offset) +
                      " (label " + std::to_string(error.label) + "): " + error.what;
  else if (summary.labels == 0)
    summary.problem = "The job has no labels.";
  return summary;
}

bool drawLabelPng(std::span<const unsigned char> bytes, const PreviewTarget& target, int number,
                  std::string& png, std::string& error)
{
  if (number < 1 || number > kPreviewLabels) {
    error = "no such label";
    return false;
  }
  LabelJob job;
  JobError jobError;
  bool found = false, drawn = false;
  readKeptJob(bytes, target, job, jobError, [&](const PreviewLabel& label, int n) {
    if (n < number)
      return true;
    found = true;
    drawn = labelPngBytes(label.image, target.dpi, png, error);
    return false;
  });
  if (!found)
    error = jobError.what.empty() ? "no such label" : jobError.what;
  return found && drawn;
}

}  // namespace app
