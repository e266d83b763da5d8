// settings.cpp: IPP job values onto the encoders' settings.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "settings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace app {

void setVendor(LabelValues& values, std::string_view name, std::string_view value)
{
  for (std::size_t i = 0; i < values.vendorCount; i++) {
    if (values.vendor[i].name == name) {
      values.vendor[i].value = value;
      return;
    }
  }
  if (values.vendorCount < std::size(values.vendor))
    values.vendor[values.vendorCount++] = {std::string(name), std::string(value)};
}

int darknessLevel(int configured, int printDarkness, int levels)
{
  long percent = std::clamp(static_cast<long>(configured) + printDarkness, 0L, 100L);
  return static_cast<int>((percent * (levels - 1) + 50) / 100);
}

namespace {

bool isTrue(std::string_view value)
{
  return value == "true" || value == "yes" || value == "on" || value == "1";
}

// An integer value, or `fallback` when the text is not one.
int integerValue(std::string_view value, int fallback)
{
  int number = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  return error == std::errc() && end == value.data() + value.size() ? number : fallback;
}

template <class Media>
Media printMethod(std::string_view value)
{
  if (value == "direct-thermal")
    return Media::directThermal;
  if (value == "thermal-transfer")
    return Media::thermalTransfer;
  return Media::printerMedia;
}

constexpr const char* kMethods = "printer,direct-thermal,thermal-transfer";
constexpr const char* kCropPageMeaning =
    "print only the label found on a larger page (a 4 x 6 in label beside its instructions on "
    "a Letter sheet); off: every page whole";

const VendorOption kZplVendor[] = {
    {"print-method", VendorOption::keyword, "printer", 0, 0, kMethods,
     "direct thermal or thermal transfer (ribbon); printer: the printer's own setting",
     [](zpl::PlainSettings& s, std::string_view v) {
       s.media = printMethod<zpl::PlainSettings::Media>(v);
     },
     nullptr},
    {"label-rotate-180", VendorOption::boolean, "false", 0, 0, nullptr,
     "print the label upside down", [](zpl::PlainSettings& s, std::string_view v) {
       s.rotate180 = isTrue(v);
     },
     nullptr},
    {"label-mirror", VendorOption::boolean, "false", 0, 0, nullptr, "mirror the label",
     [](zpl::PlainSettings& s, std::string_view v) { s.mirror = isTrue(v); }, nullptr},
    {"label-reverse", VendorOption::boolean, "false", 0, 0, nullptr,
     "negative print, white on black",
     [](zpl::PlainSettings& s, std::string_view v) { s.reverse = isTrue(v); }, nullptr},
    {"label-pause", VendorOption::boolean, "false", 0, 0, nullptr,
     "pause after each label until the feed key is pressed",
     [](zpl::PlainSettings& s, std::string_view v) { s.pause = isTrue(v); }, nullptr},
    // Read by the document path (placement), not the encoder.
    {kCropPageOption, VendorOption::boolean, "true", 0, 0, nullptr, kCropPageMeaning,
     [](zpl::PlainSettings&, std::string_view) {}, nullptr},
};

const VendorOption kDplVendor[] = {
    {"print-method", VendorOption::keyword, "printer", 0, 0, kMethods,
     "direct thermal or thermal transfer (ribbon); printer: the printer's own setting", nullptr,
     [](dpl::PlainSettings& s, std::string_view v) {
       s.media = printMethod<dpl::PlainSettings::Media>(v);
     }},
    {"label-rotate-180", VendorOption::boolean, "false", 0, 0, nullptr,
     "print the label upside down", nullptr,
     [](dpl::PlainSettings& s, std::string_view v) { s.rotate180 = isTrue(v); }},
    {"label-heat", VendorOption::range, "-1", -1, 30, nullptr,
     "heat (darkness) 0 to 30; -1: the printer's own setting", nullptr,
     [](dpl::PlainSettings& s, std::string_view v) {
       int heat = integerValue(v, -1);
       s.heat = heat >= 0 && heat <= 30 ? heat : -1;
     }},
    {"label-stop-position", VendorOption::range, "0", -1000, 1000, nullptr,
     "where the label stops after printing, in 1/100 mm, rounded to half millimetres; "
     "0: the printer's own setting",
     nullptr,
     [](dpl::PlainSettings& s, std::string_view v) {
       int position = std::clamp(integerValue(v, 0), -1000, 1000);
       s.keepStopPosition = position == 0;
       s.stopPositionMm = position / 100.0;
     }},
    {kCropPageOption, VendorOption::boolean, "true", 0, 0, nullptr, kCropPageMeaning, nullptr,
     [](dpl::PlainSettings&, std::string_view) {}},
};

}  // namespace

VendorTable vendorOptions(Language language)
{
  if (language == Language::zpl)
    return {kZplVendor, std::size(kZplVendor)};
  return {kDplVendor, std::size(kDplVendor)};
}

namespace {

// The value a job gives vendor option `option`: its own, else the option's default.
std::string_view vendorValue(const LabelValues& values, const VendorOption& option)
{
  for (std::size_t i = 0; i < values.vendorCount; i++) {
    if (values.vendor[i].name == option.name)
      return values.vendor[i].value;
  }
  return option.defaultValue;
}

}  // namespace

zpl::PlainSettings zplValues(const LabelValues& values)
{
  zpl::PlainSettings s;
  s.darkness = darknessLevel(values.darknessConfigured, values.printDarkness,
                            kZplCapabilities.darknessLevels);
  // 1/100 mm per second to whole inches per second; 0 leaves the printer's speed.
  s.speed = values.printSpeed > 0 ? static_cast<int>(std::lround(values.printSpeed / 2540.0)) : 0;
  s.tracking = values.tracking == Tracking::continuous ? zpl::PlainSettings::continuous
               : values.tracking == Tracking::mark     ? zpl::PlainSettings::mark
                                                       : zpl::PlainSettings::gap;
  s.mode = static_cast<zpl::PlainSettings::Mode>(values.mode);
  const Capabilities& caps = kZplCapabilities;
  s.topOffsetMm = std::clamp(values.topOffset, caps.topOffset.low, caps.topOffset.high) / 100.0;
  s.tearOffMm = std::clamp(values.tearOffset, caps.tearOffset.low, caps.tearOffset.high) / 100.0;
  VendorTable table = vendorOptions(Language::zpl);
  for (std::size_t i = 0; i < table.count; i++)
    table.options[i].zpl(s, vendorValue(values, table.options[i]));
  return s;
}

dpl::PlainSettings dplValues(const LabelValues& values)
{
  dpl::PlainSettings s;
  s.tracking = values.tracking == Tracking::continuous ? dpl::PlainSettings::continuous
               : values.tracking == Tracking::mark     ? dpl::PlainSettings::mark
                                                       : dpl::PlainSettings::gap;
  s.mode = static_cast<dpl::PlainSettings::Mode>(values.mode);
  const Capabilities& caps = kDplCapabilities;
  s.topOffsetMm = std::clamp(values.topOffset, caps.topOffset.low, caps.topOffset.high) / 100.0;
  VendorTable table = vendorOptions(Language::dpl);
  for (std::size_t i = 0; i < table.count; i++)
    table.options[i].dpl(s, vendorValue(values, table.options[i]));
  return s;
}

}  // namespace app
