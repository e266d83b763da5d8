// previewrecord.cpp: a job's summary written as a record's bytes and read back.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// The record is numbers (32-bit, least significant byte first) and texts (their length, then
// their bytes): the problem; the label count and whether there are more; for each label its
// setting count and each setting's name and value; the description.

#include "previewrecord.h"

#include "renderstream.h"

#include <algorithm>
#include <cstdint>

namespace app {
namespace {

void putNumber(std::string& out, std::uint32_t value)
{
  unsigned char bytes[4];
  putWord(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), 4);
}

void putText(std::string& out, const std::string& text)
{
  putNumber(out, static_cast<std::uint32_t>(text.size()));
  out += text;
}

// Reads numbers and texts from the front of the record, never past its end.
struct Reader {
  std::span<const unsigned char> bytes;
  std::size_t at = 0;

  bool number(std::uint32_t& value)
  {
    if (bytes.size() - at < 4)
      return false;
    value = getWord(bytes.data() + at);
    at += 4;
    return true;
  }
  bool text(std::string& value)
  {
    std::uint32_t length;
    if (!number(length) || length > bytes.size() - at)
      return false;
    value.assign(reinterpret_cast<const char*>(bytes.data() + at), length);
    at += length;
    return true;
  }
};

constexpr const char* kCut = "\n(The account is cut here: it is too long to show.)\n";

}  // namespace

std::string encodeSummary(const JobSummary& summary)
{
  std::string out;
  int labels = std::clamp(summary.labels, 0, kPreviewLabels);
  labels = std::min(labels, static_cast<int>(summary.settings.size()));
  putText(out, summary.problem.substr(0, kSummaryProblemLimit));
  putNumber(out, static_cast<std::uint32_t>(labels));
  putNumber(out, summary.moreLabels ? 1 : 0);
  for (int n = 0; n < labels; n++) {
    const std::vector<Setting>& settings = summary.settings[static_cast<std::size_t>(n)];
    std::size_t count = std::min(settings.size(), kSummarySettings);
    putNumber(out, static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < count; i++) {
      putText(out, settings[i].name.substr(0, kSettingNameLimit));
      putText(out, settings[i].value.substr(0, kSettingValueLimit));
    }
  }
  // What is left of the record is the description's; a longer one is cut.
  std::size_t room = kSummaryLimit - out.size() - 4;
  if (summary.description.size() <= room) {
    putText(out, summary.description);
  } else {
    std::string cut = summary.description.substr(0, room - std::char_traits<char>::length(kCut));
    // Not in the middle of a UTF-8 sequence.
    while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xC0) == 0x80)
      cut.pop_back();
    if (!cut.empty() && static_cast<unsigned char>(cut.back()) >= 0xC0)
      cut.pop_back();
    putText(out, cut + kCut);
  }
  return out;
}

bool decodeSummary(std::span<const unsigned char> bytes, JobSummary& summary, std::string& error)
{
  summary = JobSummary();
  if (bytes.size() > kSummaryLimit) {
    error = "a summary of " + std::to_string(bytes.size()) + " bytes";
    return false;
  }
  Reader in{bytes};
  std::uint32_t labels, more;
  if (!in.text(summary.problem) || !in.number(labels) || !in.number(more)) {
    error = "a summary cut short";
    return false;
  }
  if (labels > static_cast<std::uint32_t>(kPreviewLabels) || more > 1) {
    error = "a summary of " + std::to_string(labels) + " labels";
    return false;
  }
  summary.labels = static_cast<int>(labels);
  summary.moreLabels = more == 1;
  for (std::uint32_t n = 0; n < labels; n++) {
    std::uint32_t count;
    if (!in.number(count)) {
      error = "a summary cut short";
      return false;
    }
    if (count > kSummarySettings) {
      error = "a label of " + std::to_string(count) + " settings";
      return false;
    }
    std::vector<Setting>& settings = summary.settings.emplace_back(count);
    for (Setting& setting : settings) {
      if (!in.text(setting.name) || !in.text(setting.value)) {
        error = "a summary cut short";
        return false;
      }
    }
  }
  if (!in.text(summary.description)) {
    error = "a summary cut short";
    return false;
  }
  if (in.at != bytes.size()) {
    error = "bytes after the summary";
    return false;
  }
  return true;
}

}  // namespace app
