// system.cpp: the server: papplMainloop's sub-commands and server options, listening on
// localhost unless `-o listen-hostname=` says otherwise; the document formats it prints; its
// state saved when something changed; who may change it is access.cpp's.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "glue.h"
#include "options.h"
#include "statefile.h"
#include "version.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

// SIGTERM and SIGINT as the server's own run loop takes them, and noted for the jobs: PAPPL
// 1.3.1 then waits up to a minute for its active jobs without telling them, so a document
// being drawn is given up (see printDocument) once this is set.
std::atomic<bool> stopping{false};
struct sigaction papplTerm, papplInt;

void noteStop(int signal)
{
  stopping.store(true);
  const struct sigaction& theirs = signal == SIGINT ? papplInt : papplTerm;
  if (theirs.sa_handler != SIG_DFL && theirs.sa_handler != SIG_IGN)
    theirs.sa_handler(signal);
}

// Puts noteStop in front of the handlers papplSystemRun installs when it starts; so it is done
// once the server runs: at its first timer tick, or when a job first asks (jobs run only then).
void watchForStop()
{
  static std::once_flag watching;
  std::call_once(watching, [] {
    struct sigaction ours = {};
    ours.sa_handler = noteStop;
    sigemptyset(&ours.sa_mask);
    sigaction(SIGTERM, &ours, &papplTerm);
    sigaction(SIGINT, &ours, &papplInt);
  });
}

}  // namespace

AppContext* appContext(pappl_printer_t* printer)
{
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  return static_cast<AppContext*>(data.extension);
}

std::shared_ptr<PrinterState> stateOf(pappl_printer_t* printer)
{
  AppContext* context = appContext(printer);
  if (context == nullptr)
    return nullptr;
  return printerState(context->printers, papplPrinterGetID(printer));
}

Language printerLanguage(pappl_printer_t* printer)
{
  const char* name = papplPrinterGetDriverName(printer);
  const DriverModel* model = findDriver(name != nullptr ? name : "");
  return model != nullptr ? model->language : Language::zpl;
}

int printerDpi(pappl_printer_t* printer)
{
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  return data.x_default > 0 ? data.x_default : 203;
}

bool serverStopping()
{
  watchForStop();
  return stopping.load();
}

bool failJob(pappl_job_t* job, const std::string& reason)
{
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason.c_str());
  papplJobSetMessage(job, "%s", reason.c_str());
  return false;
}

namespace {

std::string footer()
{
  return std::string("label-printer-app ") + labelfiltersVersion() +
         ": driverless printing for ZPL II and DPL label printers.";
}

// Writes the state beside the file and puts it in the old one's place (statefile.h), so that
// a server killed while saving, or a machine that loses power, keeps the last whole state.
// While the server runs, only when printers or settings changed: PAPPL 1.3.1 also asks after
// every new job (for its job counter), and its papplSystemSaveState can deadlock against a
// Print-Job being received at that moment (the two take the system and printer locks in
// opposite orders; seen under load).
bool saveState(pappl_system_t* system, void* data)
{
  auto* context = static_cast<AppContext*>(data);
  if (!context->unsaved && papplSystemIsRunning(system))
    return true;
  context->unsaved = false;
  std::string error = "the state cannot be written";
  std::string warning;
  if (papplSystemSaveState(system, pendingName(context->stateFile).c_str()))
    error = replaceWithPending(context->stateFile, &warning);
  else
    std::remove(pendingName(context->stateFile).c_str());
  if (!warning.empty())
    papplLog(system, PAPPL_LOGLEVEL_WARN, "%s", warning.c_str());
  if (!error.empty()) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to \"%s\": %s", context->stateFile.c_str(),
             error.c_str());
    context->unsaved = true;
    return false;
  }
  return true;
}

// Printers added, deleted or set up differently are saved within a second, not only when the
// server stops: a server that is killed or loses power keeps them.
void noteEvent(pappl_system_t*, pappl_printer_t*, pappl_job_t*, pappl_event_t event, void* data)
{
  constexpr int kSaved = PAPPL_EVENT_PRINTER_CONFIG_CHANGED | PAPPL_EVENT_PRINTER_CREATED |
                         PAPPL_EVENT_PRINTER_DELETED | PAPPL_EVENT_SYSTEM_CONFIG_CHANGED;
  auto* context = static_cast<AppContext*>(data);
  if ((event & kSaved) != 0)
    context->unsaved = true;
  if ((event & PAPPL_EVENT_JOB_COMPLETED) != 0)
    ++context->jobsEnded;
}

// Once a second: saves a change, and once jobs have stopped ending for a second, hands the
// memory the jobs freed back to the system (the C library keeps it otherwise, and a server
// that has printed a busy morning would stay at its peak all day).
bool saveChanges(pappl_system_t* system, void* data)
{
  auto* context = static_cast<AppContext*>(data);
  watchForStop();
  // The local socket exists once the server runs: the administrators' own from the first tick.
  static std::once_flag secured;
  std::call_once(secured, [system] { secureLocalSocket(system); });
  if (context->unsaved)
    saveState(system, data);
  unsigned ended = context->jobsEnded;
  if (ended == context->jobsEndedSeen && ended != context->jobsEndedTrimmed) {
    malloc_trim(0);
    context->jobsEndedTrimmed = ended;
  }
  context->jobsEndedSeen = ended;
  return true;
}

// PAPPL asks this only where the application's own access check (access.cpp) is not reached
// (a libpappl that binds its own calls): every request it is asked about is taken as a change,
// so that another host and a local user who is not an administrator change nothing.  The
// callback also keeps PAPPL from taking web form posts from anyone.
http_status_t fallbackAccess(pappl_client_t* client, const char*, gid_t, void*)
{
  static std::once_flag told;
  std::call_once(told, [client] {
    papplLogClient(client, PAPPL_LOGLEVEL_ERROR,
                   "The application's access check is not reached: every request PAPPL checks is "
                   "treated as a change (libpappl other than the 1.3 series?).");
  });
  return authorize(client, false);
}

pappl_loglevel_t papplLevel(LogLevel level)
{
  switch (level) {
    case LogLevel::fatal: return PAPPL_LOGLEVEL_FATAL;
    case LogLevel::error: return PAPPL_LOGLEVEL_ERROR;
    case LogLevel::info: return PAPPL_LOGLEVEL_INFO;
    case LogLevel::debug: return PAPPL_LOGLEVEL_DEBUG;
    default: return PAPPL_LOGLEVEL_WARN;
  }
}

pappl_soptions_t papplOptions(ServerFlags flags)
{
  static constexpr struct {
    ServerFlag flag;
    pappl_soptions_t option;
  } kMap[] = {
      {kServerDnssdHost, PAPPL_SOPTIONS_DNSSD_HOST},     {kServerMultiQueue, PAPPL_SOPTIONS_MULTI_QUEUE},
      {kServerRawSocket, PAPPL_SOPTIONS_RAW_SOCKET},     {kServerUsbPrinter, PAPPL_SOPTIONS_USB_PRINTER},
      {kServerWebInterface, PAPPL_SOPTIONS_WEB_INTERFACE}, {kServerWebLog, PAPPL_SOPTIONS_WEB_LOG},
      {kServerWebNetwork, PAPPL_SOPTIONS_WEB_NETWORK},   {kServerWebRemote, PAPPL_SOPTIONS_WEB_REMOTE},
      {kServerWebSecurity, PAPPL_SOPTIONS_WEB_SECURITY}, {kServerWebTls, PAPPL_SOPTIONS_WEB_TLS},
      {kServerNoTls, PAPPL_SOPTIONS_NO_TLS},
  };
  unsigned options = PAPPL_SOPTIONS_NONE;
  for (const auto& m : kMap) {
    if (flags & m.flag)
      options |= m.option;
  }
  return static_cast<pappl_soptions_t>(options);
}

// The renderer beside the server's own program when there is one (the build tree), else the
// installed one; its limits from `-o render-memory=MIB` and `-o render-page-seconds=S`.
bool rendererLimits(int numOptions, cups_option_t* options, RendererOptions& renderer, std::string& error)
{
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string beside = std::string(self, static_cast<std::size_t>(n));
    beside = beside.substr(0, beside.rfind('/') + 1) + "label-render";
    if (access(beside.c_str(), X_OK) == 0)
      renderer.program = beside;
  }
  auto number = [&](const char* name, long low, long high, long& value) {
    const char* text = cupsGetOption(name, numOptions, options);
    if (text == nullptr)
      return true;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
      error = std::string(name) + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high);
      return false;
    }
    value = parsed;
    return true;
  };
  long memory = static_cast<long>(renderer.memoryBytes >> 20), pageSeconds = renderer.pageSeconds;
  if (!number("render-memory", 64, 65536, memory) || !number("render-page-seconds", 1, 3600, pageSeconds))
    return false;
  renderer.memoryBytes = static_cast<std::size_t>(memory) << 20;
  renderer.pageSeconds = static_cast<int>(pageSeconds);
  return true;
}

pappl_system_t* systemCallback(int numOptions, cups_option_t* options, void* data)
{
  auto* context = static_cast<AppContext*>(data);
  const char* port = cupsGetOption("server-port", numOptions, options);
  const char* spool = cupsGetOption("spool-directory", numOptions, options);
  const char* logFile = cupsGetOption("log-file", numOptions, options);
  const char* listen = cupsGetOption("listen-hostname", numOptions, options);
  const char* hostname = cupsGetOption("server-hostname", numOptions, options);
  const char* authService = cupsGetOption("auth-service", numOptions, options);
  const char* adminGroup = cupsGetOption("admin-group", numOptions, options);
  const char* stateFile = cupsGetOption("state-file", numOptions, options);
  const char* fileDir = cupsGetOption("file-directory", numOptions, options);

  std::string spoolDir = spool != nullptr ? spool : defaultPath(".d", "/var/spool");
  context->stateFile = stateFile != nullptr ? stateFile : defaultPath(".state", "/var/lib");
  std::string limitsError;
  if (!rendererLimits(numOptions, options, context->renderer, limitsError)) {
    std::fprintf(stderr, "label-printer-app: %s\n", limitsError.c_str());
    return nullptr;
  }
  // Administrators: root, the server's user, the admin group (root's default: lpadmin).
  std::string groupError;
  context->access.admins.serverUid = geteuid();
  context->access.admins.adminGid = app::adminGroup(adminGroup, geteuid(), groupError);
  if (!groupError.empty()) {
    std::fprintf(stderr, "label-printer-app: %s\n", groupError.c_str());
    return nullptr;
  }
  context->access.authService = authService != nullptr ? authService : "";
  // File devices write only here (made when missing).
  context->access.fileDir = fileDir != nullptr ? fileDir : spoolDir + "/files";
  if (fileDir == nullptr) {
    mkdir(spoolDir.c_str(), 0700);
    mkdir(context->access.fileDir.c_str(), 0750);
  }
  setAccessSettings(&context->access);

  pappl_system_t* system = papplSystemCreate(
      papplOptions(serverFlags(cupsGetOption("server-options", numOptions, options))), "Label Printer App",
      port != nullptr ? std::atoi(port) : 0, "_print,_universal", spoolDir.c_str(),
      logFile != nullptr ? logFile : "-", papplLevel(logLevel(cupsGetOption("log-level", numOptions, options))),
      authService, false);
  if (system == nullptr)
    return nullptr;

  // Localhost unless told otherwise; "*" listens on every address.
  const char* where = listen == nullptr ? "localhost" : std::strcmp(listen, "*") == 0 ? nullptr : listen;
  papplSystemAddListeners(system, where);
  if (std::string service = serviceSocketPath(std::getenv("RUNTIME_DIRECTORY")); !service.empty())
    papplSystemAddListeners(system, service.c_str());
  if (hostname != nullptr)
    papplSystemSetHostName(system, hostname);
  if (adminGroup != nullptr)
    papplSystemSetAdminGroup(system, adminGroup);

  static const std::string footerHtml = footer();
  papplSystemSetFooterHTML(system, footerHtml.c_str());
  pappl_version_t version;
  std::memset(&version, 0, sizeof version);
  std::snprintf(version.name, sizeof version.name, "%s", kBaseName);
  std::snprintf(version.sversion, sizeof version.sversion, "%s", labelfiltersVersion());
  std::sscanf(labelfiltersVersion(), "%hu.%hu.%hu", &version.version[0], &version.version[1], &version.version[2]);
  papplSystemSetVersions(system, 1, &version);

  pappl_pr_driver_t* drivers = driverList();
  papplSystemSetPrinterDrivers(system, static_cast<int>(std::size(kDrivers)), drivers, autoAdd,
                               createCallback, driverCallback, context);
  papplSystemSetMIMECallback(system, sniffFormat, nullptr);
  // Documents are drawn by the renderer.  PAPPL looks for a filter to the printer's own format
  // before one to raster, so the image filters come before its built-in PNG and JPEG readers,
  // which would decode untrusted images inside the server (and never return on some cut
  // PNG files).
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", filterDocument, nullptr);
  for (const char* image : {"image/png", "image/jpeg"}) {
    papplSystemAddMIMEFilter(system, image, kZplFormat, filterDocument, nullptr);
    papplSystemAddMIMEFilter(system, image, kDplFormat, filterDocument, nullptr);
  }
  // ZPL II on a DPL printer is drawn by the renderer and printed as labels; a ZPL printer
  // takes it raw.
  papplSystemAddMIMEFilter(system, kZplFormat, kDplFormat, filterDocument, nullptr);

  papplSystemSetAuthCallback(system, "Basic", fallbackAccess, nullptr);

  papplSystemLoadState(system, context->stateFile.c_str());
  papplSystemSetSaveCallback(system, saveState, context);
  papplSystemSetEventCallback(system, noteEvent, context);
  papplSystemAddTimerCallback(system, 0, 1, saveChanges, context);
  return system;
}

}  // namespace

int runApp(int argc, char** argv)
{
  // The state file, spool and logs hold other people's documents and settings: private.
  umask(077);
  static AppContext context;
  static const std::string footerHtml = footer();
  pappl_pr_driver_t* drivers = driverList();
  return papplMainloop(argc, argv, labelfiltersVersion(), footerHtml.c_str(), static_cast<int>(std::size(kDrivers)),
                       drivers, autoAdd, driverCallback, nullptr, nullptr, systemCallback, nullptr, &context);
}

}  // namespace app
