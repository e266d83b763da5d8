// labelform.cpp: the Label Settings form checked.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "labelform.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace app {

namespace {

const std::string* field(const Form& form, const std::string& name)
{
  auto found = form.find(name);
  return found != form.end() ? &found->second : nullptr;
}

// A whole number, or nothing for text that is not one.
std::optional<long> wholeNumber(const std::string& text)
{
  long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return value;
}

// Whether `word` is one of the comma-separated `keywords`.
bool hasKeyword(std::string_view keywords, std::string_view word)
{
  for (;;) {
    std::size_t comma = keywords.find(',');
    if (keywords.substr(0, comma) == word)
      return true;
    if (comma == std::string_view::npos)
      return false;
    keywords.remove_prefix(comma + 1);
  }
}

}  // namespace

LabelForm readLabelForm(const Form& form, const Capabilities& caps)
{
  LabelForm result;
  if (const std::string* mode = field(form, "label-mode-configured")) {
    for (const LabelModeName& m : kLabelModes) {
      if (*mode == m.keyword)
        result.mode = m.mode;
    }
  }
  if (const std::string* tear = field(form, "label-tear-offset-configured");
      tear != nullptr && caps.tearOffset.offered()) {
    // Millimetres in the form, 1/100 mm in IPP; a value that is no finite number is ignored.
    char* end = nullptr;
    double mm = std::strtod(tear->c_str(), &end);
    if (end != tear->c_str() && *end == '\0' && std::isfinite(mm)) {
      double hundredths = std::clamp(mm * 100, double(caps.tearOffset.low), double(caps.tearOffset.high));
      result.tearOffset = static_cast<int>(std::lround(hundredths));
    }
  }
  if (const std::string* dark = field(form, "printer-darkness-configured");
      dark != nullptr && caps.darknessLevels > 0) {
    if (std::optional<long> value = wholeNumber(*dark))
      result.darkness = static_cast<int>(std::clamp(*value, 0L, 100L));
  }

  VendorTable table = vendorOptions(caps.language);
  for (std::size_t i = 0; i < table.count; i++) {
    const VendorOption& option = table.options[i];
    const std::string* value = field(form, option.name);
    if (option.kind == VendorOption::boolean) {
      result.vendor.emplace_back(option.name, value != nullptr ? "true" : "false");
    } else if (option.kind == VendorOption::range) {
      if (std::optional<long> number = value != nullptr ? wholeNumber(*value) : std::nullopt)
        result.vendor.emplace_back(option.name, std::to_string(std::clamp<long>(*number, option.low, option.high)));
    } else if (value != nullptr && hasKeyword(option.keywords, *value)) {
      result.vendor.emplace_back(option.name, *value);
    }
  }
  return result;
}

}  // namespace app
