// glue.h: what the PAPPL glue files share.  Only files in this folder include PAPPL; each
// translates PAPPL's callbacks and records into the application's plain ones and back.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "access.h"
#include "drivers.h"
#include "printerstate.h"
#include "renderclient.h"
#include "settings.h"

#include <pappl/pappl.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace app {

// What the whole application keeps.  Every printer's driver data points here (its
// `extension`), so that callbacks given only a printer or a job reach it.
struct AppContext {
  std::string stateFile;
  AccessSettings access;                // administrators, passwords, the file device directory
  RendererOptions renderer;             // the document renderer and its limits
  PreviewTurns previewTurns;            // preview renderers running at once
  std::atomic<bool> unsaved{false};     // a change awaits saving
  PrinterStates printers;
  std::atomic<unsigned> testLabels{0};  // test label files made, for their names
  std::atomic<unsigned> jobsEnded{0};   // jobs completed, cancelled or aborted (see saveChanges)
  unsigned jobsEndedSeen = 0;           // ... at the timer's last look, and at its last trim
  unsigned jobsEndedTrimmed = 0;
};

AppContext* appContext(pappl_printer_t* printer);
// The printer's state object; null without a context.
std::shared_ptr<PrinterState> stateOf(pappl_printer_t* printer);
Language printerLanguage(pappl_printer_t* printer);
// The printer's resolution (its default; 203 when PAPPL has none).
int printerDpi(pappl_printer_t* printer);

// Whether the server was told to stop (SIGTERM, SIGINT): what a job still drawing gives up for.
bool serverStopping();

// Logs the reason a job fails and shows it as the job's message; false, for the callback.
bool failJob(pappl_job_t* job, const std::string& reason);

// main.cpp
int runApp(int argc, char** argv);

// driver.cpp
bool driverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri,
                    const char* deviceId, pappl_pr_driver_data_t* data, ipp_t** attrs, void* context);
const char* autoAdd(const char* deviceInfo, const char* deviceUri, const char* deviceId, void* data);
void createCallback(pappl_printer_t* printer, void* data);
pappl_pr_driver_t* driverList();

// job.cpp
bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool writeLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
               const unsigned char* line);
bool endPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool endJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool printRaw(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool filterDocument(pappl_job_t* job, pappl_device_t* device, void* data);
const char* sniffFormat(const unsigned char* header, std::size_t size, void* data);
// The job's values: its options, the printer's configured label mode and tear-off offset,
// the vendor attributes.
LabelValues jobValues(pappl_job_t* job, const pappl_pr_options_t* options);

// status.cpp
bool statusCallback(pappl_printer_t* printer);

// web.cpp
void addPrinterPages(pappl_printer_t* printer);
const char* testPage(pappl_printer_t* printer, char* buffer, std::size_t size);

// access.cpp: who may do what (see there).  The settings are the context's, set before the
// server runs.
void setAccessSettings(const AccessSettings* settings);
// PAPPL's access question for a client: printing and job operations (`printing`), or a change.
http_status_t authorize(pappl_client_t* client, bool printing);
// Whether the client is a local administrator (the socket's peer, a loopback connection's
// owner), without asking for a password.
bool localAdministrator(pappl_client_t* client);
// The local socket's path, as PAPPL's sub-commands find it; made the administrators' only.
std::string localSocketPath();
void secureLocalSocket(pappl_system_t* system);

// jobturn.cpp: one job at a time on each printer's device.
// The printer's device for the job, held until the lock is dropped; none when the job is to be
// left (begun already on another thread, where the application's job turn was not reached).
std::optional<std::unique_lock<std::mutex>> printerTurn(pappl_job_t* job);

}  // namespace app
