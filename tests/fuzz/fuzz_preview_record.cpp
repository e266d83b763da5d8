// fuzz_preview_record.cpp: the preview summary record as the server reads it from the
// renderer, on arbitrary bytes.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// A record that reads back is written again as the renderer writes it, within the record's
// limit, and reads back; to the same summary when its texts were within the writer's limits.

#include "previewrecord.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  app::JobSummary summary, again;
  std::string error;
  if (!app::decodeSummary({data, size}, summary, error))
    return error.empty() ? (std::abort(), 0) : 0;
  if (summary.labels < 0 || summary.labels > app::kPreviewLabels ||
      summary.settings.size() != static_cast<std::size_t>(summary.labels))
    std::abort();
  std::string record = app::encodeSummary(summary);
  if (record.size() > app::kSummaryLimit)
    std::abort();
  auto bytes = reinterpret_cast<const unsigned char*>(record.data());
  if (!app::decodeSummary({bytes, record.size()}, again, error))
    std::abort();
  bool within = summary.problem.size() <= app::kSummaryProblemLimit;
  for (const auto& settings : summary.settings) {
    for (const app::Setting& setting : settings)
      within = within && setting.name.size() <= app::kSettingNameLimit &&
               setting.value.size() <= app::kSettingValueLimit;
  }
  if (!within)
    return 0;
  bool same = again.problem == summary.problem && again.labels == summary.labels &&
              again.moreLabels == summary.moreLabels && again.description == summary.description &&
              again.settings.size() == summary.settings.size();
  for (std::size_t n = 0; same && n < summary.settings.size(); n++) {
    same = again.settings[n].size() == summary.settings[n].size();
    for (std::size_t i = 0; same && i < summary.settings[n].size(); i++)
      same = again.settings[n][i].name == summary.settings[n][i].name &&
             again.settings[n][i].value == summary.settings[n][i].value;
  }
  if (!same)
    std::abort();
  return 0;
}
