// labelform.h: the Label Settings form: what a submitted form changes, checked against what
// the printer's language offers.  The glue reads the form and applies the result.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "drivers.h"
#include "settings.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace app {

// The label modes as the form and IPP name them.
struct LabelModeName {
  LabelMode mode;
  const char* keyword;
  const char* text;
};
inline constexpr LabelModeName kLabelModes[] = {{LabelMode::tearOff, "tear-off", "Tear-off"},
                                                {LabelMode::rewind, "rewind", "Rewind"},
                                                {LabelMode::peelOff, "peel-off", "Peel-off"},
                                                {LabelMode::cutter, "cutter", "Cutter"}};

// A submitted form: field name to value.
using Form = std::map<std::string, std::string>;

// What a form sets; a field the form leaves out, or one the language does not offer, is
// left alone.
struct LabelForm {
  std::optional<LabelMode> mode;
  std::optional<int> tearOffset;  // 1/100 mm, within the language's range
  std::optional<int> darkness;    // printer-darkness-configured, 0 to 100
  // Every vendor option of the language, as IPP writes it; an unchecked box is "false".
  std::vector<std::pair<std::string, std::string>> vendor;
};

// Reads a form: unknown modes and values that are not numbers are ignored, numbers are
// clamped to what the printer takes.
LabelForm readLabelForm(const Form& form, const Capabilities& caps);

}  // namespace app
