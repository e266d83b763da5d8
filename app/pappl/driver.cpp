// driver.cpp: the drivers' capabilities as PAPPL's driver data, and printers coming and going.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "glue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace app {

namespace {

void addVendorAttributes(ipp_t* attrs, pappl_pr_driver_data_t* data, Language language)
{
  VendorTable table = vendorOptions(language);
  for (std::size_t i = 0; i < table.count && data->num_vendor < PAPPL_MAX_VENDOR; i++) {
    const VendorOption& option = table.options[i];
    data->vendor[data->num_vendor++] = option.name;
    std::string supported = std::string(option.name) + "-supported";
    std::string defaults = std::string(option.name) + "-default";
    switch (option.kind) {
      case VendorOption::boolean:
        ippAddBoolean(attrs, IPP_TAG_PRINTER, supported.c_str(), 1);
        ippAddBoolean(attrs, IPP_TAG_PRINTER, defaults.c_str(), std::strcmp(option.defaultValue, "true") == 0);
        break;
      case VendorOption::range:
        ippAddRange(attrs, IPP_TAG_PRINTER, supported.c_str(), option.low, option.high);
        ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, defaults.c_str(), std::atoi(option.defaultValue));
        break;
      case VendorOption::keyword: {
        std::vector<std::string> words;
        for (const char* p = option.keywords; *p;) {
          const char* comma = std::strchr(p, ',');
          std::size_t n = comma ? static_cast<std::size_t>(comma - p) : std::strlen(p);
          words.emplace_back(p, n);
          p += n + (comma ? 1 : 0);
        }
        std::vector<const char*> values;
        for (const std::string& w : words)
          values.push_back(w.c_str());
        ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, supported.c_str(),
                      static_cast<int>(values.size()), nullptr, values.data());
        ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, defaults.c_str(), nullptr, option.defaultValue);
        break;
      }
    }
  }
}

void identify(pappl_printer_t* printer, pappl_identify_actions_t, const char* message)
{
  papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s",
                  message != nullptr ? message : "(no message)");
}

// A printer being deleted.  PAPPL removes the printer's pages itself, and calls this with its
// system lock held: removing a page here as well leaves that lock taken and the server hung.
// The printer's state (its kept jobs among it) goes with it.
void deleteCallback(pappl_printer_t* printer, pappl_pr_driver_data_t* data)
{
  if (auto* context = static_cast<AppContext*>(data->extension))
    dropPrinterState(context->printers, papplPrinterGetID(printer));
}

}  // namespace

bool driverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri, const char*,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* context)
{
  // A file device writes as the server: only in the directory set aside for it.  A printer
  // saved before that rule is kept when the state is loaded (its jobs are refused with the
  // reason until its device is changed); a new one is refused.
  if (auto* app = static_cast<AppContext*>(context); app != nullptr && deviceUri != nullptr) {
    std::string refusal = deviceRefusal(deviceUri, app->access.fileDir);
    if (!refusal.empty()) {
      bool loading = system != nullptr && !papplSystemIsRunning(system);
      papplLog(system, loading ? PAPPL_LOGLEVEL_WARN : PAPPL_LOGLEVEL_ERROR, "%s%s", refusal.c_str(),
               loading ? " Its jobs will not print." : "");
      if (!loading)
        return false;
    }
  }
  const DriverModel* model = findDriver(driverName != nullptr ? driverName : "");
  if (model == nullptr)
    return false;
  const Capabilities& caps = capabilities(model->language);

  data->extension = context;
  data->printfile_cb = printRaw;
  data->rstartjob_cb = startJob;
  data->rstartpage_cb = startPage;
  data->rwriteline_cb = writeLine;
  data->rendpage_cb = endPage;
  data->rendjob_cb = endJob;
  data->identify_cb = identify;
  data->delete_cb = deleteCallback;
  data->testpage_cb = testPage;
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  // Only ZPL printers say how they are: DPL has no documented status command.
  if (model->language == Language::zpl)
    data->status_cb = statusCallback;

  data->format = caps.format;
  std::snprintf(data->make_and_model, sizeof data->make_and_model, "%s", model->makeAndModel);
  data->kind = static_cast<pappl_kind_t>(PAPPL_KIND_LABEL | PAPPL_KIND_ROLL);
  data->ppm = 30;
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->color_supported = static_cast<pappl_color_mode_t>(PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_BI_LEVEL | PAPPL_COLOR_MODE_AUTO);
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types = static_cast<pappl_raster_type_t>(PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_SGRAY_8);
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_BLACK_1;
  // One threshold everywhere: barcodes and text must keep hard edges.
  std::memset(data->gdither, 127, sizeof data->gdither);
  std::memset(data->pdither, 127, sizeof data->pdither);

  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = model->dpi;
  data->x_default = data->y_default = model->dpi;
  // Labels print to their edges.  The margins are the smallest there are, not none: PAPPL
  // then lists each size twice, with these margins and borderless, and CUPS's driverless
  // queue gets a page size by the plain name ("4x6") that its default names.  With zero
  // margins alone every size is "4x6.Borderless", the default resolves to none, and CUPS
  // shrinks every document onto Letter.
  data->borderless = true;
  data->left_right = data->bottom_top = 1;  // 1/100 mm

  data->num_media = 0;
  for (const char* name : kMedia)
    data->media[data->num_media++] = name;
  data->media[data->num_media++] = caps.customMin;
  data->media[data->num_media++] = caps.customMax;

  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 3;
  data->type[0] = "labels";
  data->type[1] = "labels-continuous";
  data->type[2] = "continuous";
  data->tracking_supported = static_cast<pappl_media_tracking_t>(
      PAPPL_MEDIA_TRACKING_GAP | PAPPL_MEDIA_TRACKING_MARK | PAPPL_MEDIA_TRACKING_CONTINUOUS);
  data->top_offset_supported[0] = caps.topOffset.low;
  data->top_offset_supported[1] = caps.topOffset.high;

  pappl_media_col_t& media = data->media_default;
  std::memset(&media, 0, sizeof media);
  std::snprintf(media.size_name, sizeof media.size_name, "%s", kMedia[0]);
  media.size_width = 10160;
  media.size_length = 15240;
  std::snprintf(media.source, sizeof media.source, "main-roll");
  std::snprintf(media.type, sizeof media.type, "labels");
  media.tracking = PAPPL_MEDIA_TRACKING_GAP;  // die-cut labels, the usual stock
  data->media_ready[0] = media;

  data->mode_supported = static_cast<pappl_label_mode_t>(PAPPL_LABEL_MODE_TEAR_OFF | PAPPL_LABEL_MODE_REWIND |
                                                         PAPPL_LABEL_MODE_PEEL_OFF | PAPPL_LABEL_MODE_CUTTER);
  data->mode_configured = PAPPL_LABEL_MODE_TEAR_OFF;
  if (caps.tearOffset.offered()) {
    data->tear_offset_supported[0] = caps.tearOffset.low;
    data->tear_offset_supported[1] = caps.tearOffset.high;
    data->tear_offset_configured = 0;
  }
  if (caps.speed.offered()) {
    data->speed_supported[0] = caps.speed.low;
    data->speed_supported[1] = caps.speed.high;
    data->speed_default = 0;
  }
  if (caps.darknessLevels > 0) {
    data->darkness_supported = caps.darknessLevels;
    data->darkness_configured = 50;
    data->darkness_default = 0;
  }
  data->has_supplies = true;

  *attrs = ippNew();
  addVendorAttributes(*attrs, data, model->language);
  ippAddBoolean(*attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  static const char* const overrides[] = {"document-number", "pages"};
  ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "overrides-supported", 2, nullptr, overrides);
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "pwg-raster-document-sheet-back", nullptr, "normal");
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-supported", nullptr, "auto");
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-default", nullptr, "auto");
  return true;
}

// USB printers whose IEEE 1284 device ID names ZPL or DPL in its command set.
const char* autoAdd(const char*, const char*, const char* deviceId, void*)
{
  if (deviceId == nullptr)
    return nullptr;
  cups_option_t* pairs = nullptr;
  int count = papplDeviceParseID(deviceId, &pairs);
  const char* commands = cupsGetOption("COMMAND SET", count, pairs);
  if (commands == nullptr)
    commands = cupsGetOption("CMD", count, pairs);
  const char* driver = commands != nullptr ? driverForCommandSet(commands) : nullptr;
  cupsFreeOptions(count, pairs);
  return driver;
}

// A new or restored printer: its state, its label supply, its own pages.
void createCallback(pappl_printer_t* printer, void*)
{
  stateOf(printer);
  pappl_supply_t supply;
  std::memset(&supply, 0, sizeof supply);
  supply.color = PAPPL_SUPPLY_COLOR_NO_COLOR;
  std::snprintf(supply.description, sizeof supply.description, "Labels");
  supply.is_consumed = true;
  supply.level = -1;
  supply.type = PAPPL_SUPPLY_TYPE_OTHER;
  papplPrinterSetSupplies(printer, 1, &supply);
  addPrinterPages(printer);
}

// PAPPL's list of the drivers, filled once.
pappl_pr_driver_t* driverList()
{
  static pappl_pr_driver_t drivers[std::size(kDrivers)];
  for (std::size_t i = 0; i < std::size(kDrivers); i++) {
    drivers[i].name = kDrivers[i].name;
    drivers[i].description = kDrivers[i].description;
    drivers[i].device_id = kDrivers[i].language == Language::zpl ? "CMD:ZPL;" : "CMD:DPL;";
    drivers[i].extension = nullptr;
  }
  return drivers;
}

}  // namespace app
