// web.cpp: the printer's own web pages (Label Settings, Label Preview and its label images)
// and the test label.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "glue.h"
#include "labelform.h"
#include "pages.h"
#include "testlabel.h"

#include <cerrno>
#include <dlfcn.h>
#include <utility>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unistd.h>

namespace app {

namespace {

pappl_label_mode_t papplMode(LabelMode mode)
{
  switch (mode) {
    case LabelMode::rewind: return PAPPL_LABEL_MODE_REWIND;
    case LabelMode::peelOff: return PAPPL_LABEL_MODE_PEEL_OFF;
    case LabelMode::cutter: return PAPPL_LABEL_MODE_CUTTER;
    default: return PAPPL_LABEL_MODE_TEAR_OFF;
  }
}

LabelMode labelMode(pappl_label_mode_t mode)
{
  switch (mode) {
    case PAPPL_LABEL_MODE_REWIND: return LabelMode::rewind;
    case PAPPL_LABEL_MODE_PEEL_OFF: return LabelMode::peelOff;
    case PAPPL_LABEL_MODE_CUTTER: return LabelMode::cutter;
    default: return LabelMode::tearOff;
  }
}

Form readForm(int numForm, cups_option_t* form)
{
  Form fields;
  for (int i = 0; i < numForm; i++)
    fields[form[i].name] = form[i].value != nullptr ? form[i].value : "";
  return fields;
}

// Applies a submitted Label Settings form; the status line for the page.
const char* applyLabelForm(pappl_printer_t* printer, const Form& fields)
{
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  LabelForm change = readLabelForm(fields, capabilities(printerLanguage(printer)));
  if (change.mode)
    data.mode_configured = papplMode(*change.mode);
  if (change.tearOffset)
    data.tear_offset_configured = *change.tearOffset;
  if (change.darkness)
    data.darkness_configured = *change.darkness;
  cups_option_t* vendor = nullptr;
  int numVendor = 0;
  for (const auto& [name, value] : change.vendor)
    numVendor = cupsAddOption(name.c_str(), value.c_str(), numVendor, &vendor);
  bool ok = papplPrinterSetDriverDefaults(printer, &data, numVendor, vendor);
  cupsFreeOptions(numVendor, vendor);
  return ok ? "Changes saved." : "Some values were not accepted.";
}

// The current default of vendor option `name`, as IPP writes it.
std::string vendorDefault(ipp_t* attrs, const VendorOption& option)
{
  std::string name = std::string(option.name) + "-default";
  char text[256];
  if (ipp_attribute_t* attr = ippFindAttribute(attrs, name.c_str(), IPP_TAG_ZERO);
      attr != nullptr && ippAttributeString(attr, text, sizeof text) > 0)
    return text;
  return option.defaultValue;
}

LabelSettingsView labelSettingsView(pappl_printer_t* printer)
{
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  LabelSettingsView view;
  view.mode = labelMode(driver.mode_configured);
  view.tearOffsetRange = {driver.tear_offset_supported[0], driver.tear_offset_supported[1]};
  view.tearOffset = driver.tear_offset_configured;
  view.darknessOffered = driver.darkness_supported > 0;
  view.darkness = driver.darkness_configured;
  ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
  VendorTable table = vendorOptions(printerLanguage(printer));
  for (std::size_t i = 0; i < table.count; i++)
    view.vendor.push_back({&table.options[i], vendorDefault(attrs, table.options[i])});
  ippDelete(attrs);
  return view;
}

// Serves one of the printer's pages: a client that may see it gets the page; a form posted
// to it is applied by `apply`, whose status line shows over the page; `content` is what
// follows the form's start.
bool servePage(pappl_client_t* client, pappl_printer_t* printer, const char* title, const char* resource,
               const std::function<std::string(const Form&)>& apply, const std::function<std::string()>& content)
{
  if (!papplClientHTMLAuthorize(client))
    return true;
  std::string status;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    cups_option_t* form = nullptr;
    int numForm = papplClientGetForm(client, &form);
    bool valid = papplClientIsValidForm(client, numForm, form);
    Form fields = readForm(numForm, form);
    cupsFreeOptions(numForm, form);
    status = valid ? apply(fields) : "Invalid form data.";
  }
  papplClientHTMLPrinterHeader(client, printer, title, 0, nullptr, nullptr);
  papplClientHTMLPuts(client, bannerHtml(status).c_str());
  char path[256];
  papplPrinterGetPath(printer, resource, path, sizeof path);
  papplClientHTMLStartForm(client, path, false);
  papplClientHTMLPuts(client, content().c_str());
  papplClientHTMLPrinterFooter(client);
  return true;
}

bool labelPage(pappl_client_t* client, void* data)
{
  auto* printer = static_cast<pappl_printer_t*>(data);
  return servePage(
      client, printer, "Label Settings", "label", [&](const Form& form) { return applyLabelForm(printer, form); },
      [&] { return labelSettingsHtml(labelSettingsView(printer)); });
}

// Writes the test label of the printer's default label into a spool file, for PAPPL to print
// and remove; returns its name, or null.
const char* writeTestLabel(pappl_printer_t* printer, char* buffer, std::size_t size)
{
  AppContext* context = appContext(printer);
  if (context == nullptr)
    return nullptr;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  int dpi = printerDpi(printer);
  LabelBitmap label = testLabel(labelDots(data.media_default.size_width, dpi),
                                labelDots(data.media_default.size_length, dpi), dpi);
  std::string png, error;
  if (!testLabelPng(label, dpi, png, error)) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "No test label: %s", error.c_str());
    return nullptr;
  }
  // Each test label has a file of its own: PAPPL removes a job's file when the job is done.
  std::string name = "testlabel" + std::to_string(++context->testLabels);
  int fd = papplPrinterOpenFile(printer, buffer, size, nullptr, name.c_str(), "png", "w");
  if (fd < 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "No test label file: %s", std::strerror(errno));
    return nullptr;
  }
  bool written = write(fd, png.data(), png.size()) == static_cast<ssize_t>(png.size());
  written = close(fd) == 0 && written;
  if (!written) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "No test label file: %s", std::strerror(errno));
    unlink(buffer);
    return nullptr;
  }
  return buffer;
}

// The preview page's button: a test label job; the status line for the page.
const char* printTestLabel(pappl_client_t* client, pappl_printer_t* printer)
{
  char path[1024];
  if (testPage(printer, path, sizeof path) == nullptr)
    return "The test label cannot be made.";
  const char* user = papplClientGetUsername(client);
  pappl_job_t* job = papplJobCreateWithFile(printer, user != nullptr && *user ? user : "guest",
                                            "image/png", "Test label", 0, nullptr, path);
  if (job == nullptr) {
    unlink(path);
    return "The test label cannot be printed.";
  }
  return "The test label is printing.";
}

bool previewPage(pappl_client_t* client, void* data)
{
  auto* printer = static_cast<pappl_printer_t*>(data);
  auto apply = [&](const Form& form) -> std::string {
    auto action = form.find("action");
    return action != form.end() && action->second == "test-label" ? printTestLabel(client, printer)
                                                                   : "Unknown action.";
  };
  auto content = [&]() -> std::string {
    try {
      PreviewView view;
      char path[256];
      papplPrinterGetPath(printer, "preview.png", path, sizeof path);
      view.imagePath = path;
      if (AppContext* context = appContext(printer)) {
        view.renderer = context->renderer;
        view.turns = &context->previewTurns;
      }
      if (std::shared_ptr<PrinterState> state = stateOf(printer))
        view.jobs = keptJobs(state->previews);
      return previewHtml(view);
    } catch (const std::exception& e) {
      return "</form><p class=\"preview-problem\">The preview cannot be drawn: " + htmlEscape(e.what()) + "</p>\n";
    }
  };
  return servePage(client, printer, "Label Preview", "preview", apply, content);
}

// A label of a kept job as a PNG; 404 for a job no longer kept or a label it does not have.
bool previewImage(pappl_client_t* client, void* data)
{
  auto* printer = static_cast<pappl_printer_t*>(data);
  if (http_status_t allowed = papplClientIsAuthorized(client); allowed != HTTP_STATUS_CONTINUE)
    return papplClientRespond(client, allowed, nullptr, nullptr, 0, 0);
  cups_option_t* form = nullptr;
  int numForm = papplClientGetForm(client, &form);
  const char* jobText = cupsGetOption("job", numForm, form);
  const char* labelText = cupsGetOption("label", numForm, form);
  int id = jobText != nullptr ? std::atoi(jobText) : 0;
  int label = labelText != nullptr ? std::atoi(labelText) : 1;
  cupsFreeOptions(numForm, form);

  std::string png, error;
  bool drawn = false;
  try {
    std::shared_ptr<PrinterState> state = stateOf(printer);
    std::shared_ptr<const KeptJob> job = state ? findKeptJob(state->previews, id) : nullptr;
    AppContext* context = appContext(printer);
    drawn = job != nullptr && context != nullptr && labelPng(*job, label, context->renderer, context->previewTurns, png, error);
  } catch (const std::exception&) {
    drawn = false;
  }
  if (!drawn)
    return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "image/png", 0, png.size()))
    return false;
  http_t* http = papplClientGetHTTP(client);
  bool sent = httpWrite2(http, png.data(), png.size()) == static_cast<ssize_t>(png.size());
  return httpFlushWrite(http) >= 0 && sent;
}

}  // namespace

const char* testPage(pappl_printer_t* printer, char* buffer, std::size_t size)
{
  try {
    return writeTestLabel(printer, buffer, size);
  } catch (const std::exception& e) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "No test label: %s", e.what());
    return nullptr;
  }
}

namespace {

using PaplPage = void (*)(pappl_client_t*, pappl_printer_t*);

void addRow(pappl_job_t* job, void* data)
{
  static constexpr const char* kStates[] = {"pending", "held", "processing", "stopped", "canceled", "aborted",
                                            "completed"};
  int state = static_cast<int>(papplJobGetState(job)) - IPP_JSTATE_PENDING;
  auto* rows = static_cast<std::vector<JobRow>*>(data);
  rows->push_back({papplJobGetID(job), state >= 0 && state < 7 ? kStates[state] : "unknown",
                   papplJobGetImpressionsCompleted(job)});
}

// A printer's home or job page: PAPPL's own (with job names and owners) for a local
// administrator, else the jobs without names or owners.
bool jobsPage(pappl_client_t* client, pappl_printer_t* printer, const char* pageSymbol)
{
  static const auto home = reinterpret_cast<PaplPage>(dlsym(RTLD_DEFAULT, "_papplPrinterWebHome"));
  static const auto jobs = reinterpret_cast<PaplPage>(dlsym(RTLD_DEFAULT, "_papplPrinterWebJobs"));
  PaplPage page = std::strcmp(pageSymbol, "home") == 0 ? home : jobs;
  if (page != nullptr && localAdministrator(client)) {
    page(client, printer);
    return true;
  }
  std::vector<JobRow> rows;
  papplPrinterIterateAllJobs(printer, addRow, &rows, 1, 100);
  papplClientHTMLPrinterHeader(client, printer, "Jobs", 10, nullptr, nullptr);
  papplClientHTMLPuts(client, jobListHtml(rows).c_str());
  papplClientHTMLPrinterFooter(client);
  return true;
}

bool homePage(pappl_client_t* client, void* printer)
{
  return jobsPage(client, static_cast<pappl_printer_t*>(printer), "home");
}

bool jobListPage(pappl_client_t* client, void* printer)
{
  return jobsPage(client, static_cast<pappl_printer_t*>(printer), "jobs");
}

}  // namespace

// The printer's Label Settings page and its Label Preview page with the label images; its
// home and job pages in place of PAPPL's, which list every job's name and owner to anyone.
void addPrinterPages(pappl_printer_t* printer)
{
  pappl_system_t* system = papplPrinterGetSystem(printer);
  char path[256];
  for (auto [resource, page] : {std::pair<const char*, pappl_resource_cb_t>{"", homePage}, {"jobs", jobListPage}}) {
    papplPrinterGetPath(printer, resource, path, sizeof path);
    papplSystemRemoveResource(system, path);
    papplSystemAddResourceCallback(system, path, "text/html", page, printer);
  }
  papplPrinterGetPath(printer, "label", path, sizeof path);
  papplSystemAddResourceCallback(system, path, "text/html", labelPage, printer);
  papplPrinterAddLink(printer, "Label Settings", path,
                      static_cast<pappl_loptions_t>(PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_CONFIGURATION));
  papplPrinterGetPath(printer, "preview.png", path, sizeof path);
  papplSystemAddResourceCallback(system, path, "image/png", previewImage, printer);
  papplPrinterGetPath(printer, "preview", path, sizeof path);
  papplSystemAddResourceCallback(system, path, "text/html", previewPage, printer);
  papplPrinterAddLink(printer, "Label Preview", path, PAPPL_LOPTIONS_NAVIGATION);
}

}  // namespace app
