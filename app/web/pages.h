// pages.h: the content of the printer's own web pages, Label Settings and Label Preview,
// from plain view records.  The glue writes PAPPL's header, form start and footer around it.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "jobpreview.h"
#include "labelform.h"
#include "settings.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// Text made safe inside HTML elements and attribute values.
std::string htmlEscape(std::string_view text);

// One job as a printer's job list shows it to a client who is not an administrator: no name,
// no owner.
struct JobRow {
  int id = 0;
  std::string state;  // "pending", "completed", ...
  int impressions = 0;
};
// The job list: a note that names and owners are shown to administrators only, and a table.
std::string jobListHtml(const std::vector<JobRow>& jobs);

// A status line over a page ("Changes saved."); empty text: none.
std::string bannerHtml(std::string_view status);

// What the Label Settings form shows.
struct LabelSettingsView {
  LabelMode mode = LabelMode::tearOff;
  Range tearOffsetRange;  // 1/100 mm; not offered: no field
  int tearOffset = 0;
  bool darknessOffered = false;
  int darkness = 0;       // percent
  struct Vendor {
    const VendorOption* option;
    std::string value;    // the printer's default, as IPP writes it
  };
  std::vector<Vendor> vendor;
};

// The form's fields and its submit button, closing the form PAPPL opened.
std::string labelSettingsHtml(const LabelSettingsView& view);

// What the Label Preview page shows: the printer's kept jobs, newest first, and where their
// label images are served.
struct PreviewView {
  std::string imagePath;  // the printer's preview.png resource
  std::vector<std::shared_ptr<const KeptJob>> jobs;
  RendererOptions renderer;  // the server's renderer, which draws them (summarizeJob)
  PreviewTurns* turns = nullptr;  // ... in the server's turns
};

// The test label button's form body (closing the form PAPPL opened), then the jobs.
std::string previewHtml(const PreviewView& view);

}  // namespace app
