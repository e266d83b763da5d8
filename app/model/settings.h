// settings.h: a printer application job's label settings, and how they become the settings
// records of the ZPL and DPL encoders.  No PAPPL here: the glue fills a LabelValues record
// from the job's IPP attributes and calls these functions.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "dpl.h"
#include "drivers.h"
#include "zpl.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace app {

enum class Tracking { continuous, gap, mark };
enum class LabelMode { tearOff, rewind, peelOff, cutter };

// What a job asks for, in IPP's units.  The vendor fields hold the text of the job's vendor
// attribute (or the printer's default for it) as IPP writes it.
struct LabelValues {
  int darknessConfigured = 50;   // printer-darkness-configured, 0 to 100
  int printDarkness = 0;         // print-darkness, -100 to 100, added to the configured value
  int printSpeed = 0;            // print-speed in 1/100 mm per second; 0 = the printer's own
  Tracking tracking = Tracking::gap;
  LabelMode mode = LabelMode::tearOff;
  int topOffset = 0;             // media-top-offset, 1/100 mm
  int tearOffset = 0;            // label-tear-offset-configured, 1/100 mm
  // Vendor attributes: (name, value) pairs.
  struct Vendor {
    std::string name;
    std::string value;
  };
  Vendor vendor[8];
  std::size_t vendorCount = 0;
};

// Sets vendor attribute `name` to `value` (a later value for the same name wins).
void setVendor(LabelValues& values, std::string_view name, std::string_view value);

// The darkness level (0 to levels - 1) for the configured darkness plus the job's
// print-darkness, each in percent; the sum is clamped to 0 to 100 and rounded to the nearest
// level.
int darknessLevel(int configured, int printDarkness, int levels);

// A vendor attribute the application adds to a language's printers.
struct VendorOption {
  const char* name;
  enum Kind { boolean, range, keyword } kind;
  const char* defaultValue;      // as IPP writes it: "false", "-1", "printer"
  int low, high;                 // for ranges
  const char* keywords;          // for keywords: comma-separated
  const char* meaning;           // for the documentation and the web page
  // What the value does to the settings; the one of the option's language is set.
  void (*zpl)(zpl::PlainSettings& settings, std::string_view value);
  void (*dpl)(dpl::PlainSettings& settings, std::string_view value);
};

// The vendor option that lets documents be cropped to the label found on a larger page.
inline constexpr const char* kCropPageOption = "label-crop-page";

// The vendor options of each language's printers.
struct VendorTable {
  const VendorOption* options;
  std::size_t count;
};
VendorTable vendorOptions(Language language);

// The encoder settings for a job's values.
zpl::PlainSettings zplValues(const LabelValues& values);
dpl::PlainSettings dplValues(const LabelValues& values);

}  // namespace app
