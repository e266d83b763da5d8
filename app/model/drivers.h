// drivers.h: the printers the application drives and what each can do.  One table for the
// models, one record of capabilities per printer language: every size, range and limit the
// application advertises or clamps to is written here once.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace app {

enum class Language { zpl, dpl };

// One printer model the application drives.
struct DriverModel {
  const char* name;          // driver name, as `-m` takes it
  const char* description;   // as `drivers` lists it
  Language language;
  int dpi;
  const char* makeAndModel;
};

inline constexpr DriverModel kDrivers[] = {
    {"zpl_203", "Generic ZPL II label printer, 203 dpi", Language::zpl, 203,
     "Generic ZPL II Label Printer 203dpi"},
    {"zpl_300", "Generic ZPL II label printer, 300 dpi", Language::zpl, 300,
     "Generic ZPL II Label Printer 300dpi"},
    {"dpl_203", "Generic DPL label printer, 203 dpi", Language::dpl, 203,
     "Generic DPL Label Printer 203dpi"},
    {"dpl_300", "Generic DPL label printer, 300 dpi", Language::dpl, 300,
     "Generic DPL Label Printer 300dpi"},
};

// The model named `name`, or null.
const DriverModel* findDriver(std::string_view name);

// The native format each language's raw jobs are declared as.
inline constexpr const char* kZplFormat = "application/vnd.zebra-zpl";
inline constexpr const char* kDplFormat = "application/vnd.datamax-dpl";

// An inclusive range of values; {0, 0} where the language has no such setting.
struct Range {
  int low = 0, high = 0;
  constexpr bool offered() const { return high > low; }
};

// What a language's printers can do, in IPP's units.
struct Capabilities {
  Language language;
  const char* format;          // raw jobs' MIME type
  const char* commandSet;      // the IEEE 1284 device ID's command set
  // Custom label sizes: up to the 4.17 in print head; the longest label the language's
  // label-size command takes (ZPL 100 in; DPL 33 in: its four digits at 300 dpi).
  const char* customMin;
  const char* customMax;
  Range topOffset;             // media-top-offset, 1/100 mm
  Range tearOffset;            // label-tear-offset-configured, 1/100 mm
  Range speed;                 // print-speed, 1/100 mm per second
  int darknessLevels;          // the printer's darkness steps (0: none offered)
};

inline constexpr Capabilities kZplCapabilities = {
    Language::zpl, kZplFormat, "ZPL", "roll_min_13x7mm", "roll_max_106x2540mm",
    {-1000, 1000}, {-1000, 1000}, {2 * 2540, 12 * 2540}, 31};
inline constexpr Capabilities kDplCapabilities = {
    Language::dpl, kDplFormat, "DPL", "roll_min_13x7mm", "roll_max_106x838mm",
    {-800, 800}, {}, {}, 0};

inline const Capabilities& capabilities(Language language)
{
  return language == Language::zpl ? kZplCapabilities : kDplCapabilities;
}

// Label stock with PWG self-describing names without dots: sizes in whole inches or whole
// millimetres (a 2.25 x 1.25 in label is named by its size in millimetres).  The first is
// every printer's default.
inline constexpr const char* kMedia[] = {
    "oe_4x6-label_4x6in",     "oe_4x4-label_4x4in",         "oe_4x3-label_4x3in",
    "oe_4x2-label_4x2in",     "oe_3x2-label_3x2in",         "oe_2x1-label_2x1in",
    "om_57x32mm-label_57x32mm", "om_38x25mm-label_38x25mm", "om_100x150mm-label_100x150mm",
    "om_100x100mm-label_100x100mm", "om_60x40mm-label_60x40mm", "om_50x30mm-label_50x30mm",
};

// The driver a USB printer's IEEE 1284 command set calls for (its 203 dpi model), or null.
const char* driverForCommandSet(std::string_view commands);

}  // namespace app
