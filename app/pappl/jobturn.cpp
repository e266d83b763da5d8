// jobturn.cpp: one job at a time on each printer, and the PAPPL 1.3 job start race closed.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// PAPPL 1.3.1 takes a pending job in two steps: a thread is started for it, and that thread
// marks it processing.  Every new job, every finished one and every status check may start
// a thread in between, and each finds the same job still pending; a job's thread also lets
// the next job start before it closes the device.  Under load with two clients a printer
// this printed a job twice, failed jobs with "Unable to write print data", and killed the
// server on a freed device.  So the application wraps PAPPL's two job processors (below,
// by their symbol names, which the executable exports so that libpappl's own calls reach
// them): a job is processed only in its printer's turn, start to end, and only while it is
// still pending; a thread that finds its job already taken leaves it.

#include "glue.h"

#include <cstring>
#include <dlfcn.h>

namespace app {

namespace {

// The job this thread processes in its printer's turn (set by inTurn around PAPPL's processor).
thread_local pappl_job_t* jobInTurn = nullptr;

// A job that reached a print callback without the takeover: libpappl called its own job
// processors (a build that binds its own calls, or internals renamed in another PAPPL series).
// The printer then relies on the application's own lock alone: said once as an error; a job
// begun already on another thread (PAPPL's start race) is left to that thread, and logged.
bool untakenJobMayPrint(PrinterState& state, pappl_job_t* job)
{
  pappl_printer_t* printer = papplJobGetPrinter(job);
  int id = papplJobGetID(job);
  std::lock_guard<std::mutex> hold(state.untaken);
  if (!state.untakenLogged) {
    state.untakenLogged = true;
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR,
                    "Job %d reached the printer without the application's job turn (libpappl other than "
                    "the 1.3 series, or one that binds its own calls): the printer takes one job at a "
                    "time under the application's own lock.", id);
  }
  if (!state.begun.insert(id).second) {
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Job %d is already printing on another thread: this thread leaves it.", id);
    return false;
  }
  // Job IDs only grow: the set keeps the recent ones.
  while (state.begun.size() > 1000)
    state.begun.erase(state.begun.begin());
  return true;
}

}  // namespace

// Waits until no other job of the job's printer is sending, and holds the printer until the
// lock is dropped.  PAPPL 1.3.1 can run a raster job it receives as a stream while the job
// thread starts a spooled one on the same printer; the two then meet on the device (one
// job's write fails, labels are lost: seen under load).  Where the application takes PAPPL's
// job processing over that cannot happen; this keeps two jobs' bytes apart where it does not.
// The lock holds the printer's state alive.
std::optional<std::unique_lock<std::mutex>> printerTurn(pappl_job_t* job)
{
  std::shared_ptr<PrinterState> state = stateOf(papplJobGetPrinter(job));
  if (!state)
    return std::unique_lock<std::mutex>();
  if (jobInTurn != job && !untakenJobMayPrint(*state, job))
    return std::nullopt;
  return std::unique_lock<std::mutex>(state->device);
}

namespace {

bool streamedFormat(const char* format)
{
  return format != nullptr &&
         (std::strcmp(format, "image/pwg-raster") == 0 || std::strcmp(format, "image/urf") == 0);
}

using SpooledProcessor = void* (*)(pappl_job_t*);
using StreamProcessor = void (*)(pappl_job_t*, pappl_client_t*);
using JobChecker = void (*)(pappl_printer_t*);

template <typename Function>
Function realFunction(const char* name)
{
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Runs `process` in the printer's job turn while the job is still the printer's pending job
// (looked up by ID after the wait, so a job freed meanwhile is not touched).  A job that is
// no longer pending is left, logged with `left`, and the printer is asked to look for its
// next job, which nothing else may do now.
// A file device is checked again as the job is about to open it (its path or a link on it
// may have changed since the printer was added): one outside the directory set aside for
// file devices cancels the job, with the reason, before anything is opened.
bool deviceRefused(pappl_job_t* job)
{
  pappl_printer_t* printer = papplJobGetPrinter(job);
  AppContext* context = appContext(printer);
  const char* uri = papplPrinterGetDeviceURI(printer);
  if (context == nullptr || uri == nullptr)
    return false;
  std::string refusal = deviceRefusal(uri, context->access.fileDir);
  if (refusal.empty())
    return false;
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", refusal.c_str());
  papplJobSetMessage(job, "%s", refusal.c_str());
  papplJobCancel(job);
  return true;
}

template <typename Process>
void inTurn(pappl_job_t* job, pappl_loglevel_t level, const char* left, Process process)
{
  static const auto checkJobs = realFunction<JobChecker>("_papplPrinterCheckJobs");
  pappl_printer_t* printer = papplJobGetPrinter(job);
  int id = papplJobGetID(job);
  std::shared_ptr<PrinterState> state = stateOf(printer);
  if (!state)
    return process();
  {
    std::lock_guard<std::mutex> hold(state->jobs);
    if (!state->deleted && papplPrinterFindJob(printer, id) == job &&
        papplJobGetState(job) == IPP_JSTATE_PENDING) {
      if (deviceRefused(job))
        return;
      jobInTurn = job;
      process();
      jobInTurn = nullptr;
      return;
    }
  }
  if (state->deleted)
    return;
  papplLogPrinter(printer, level, left, id);
  if (checkJobs != nullptr)
    checkJobs(printer);
}

}  // namespace

// A job thread's start.  PWG and Apple raster are printed by the client thread that
// receives them, so a job thread started for one leaves it.
void* processSpooledJob(pappl_job_t* job)
{
  static const auto process = realFunction<SpooledProcessor>("_papplJobProcess");
  if (process == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_FATAL, "libpappl has no job processor: the job cannot print.");
    return nullptr;
  }
  if (streamedFormat(papplJobGetFormat(job)))
    return nullptr;
  inTurn(job, PAPPL_LOGLEVEL_DEBUG,
         "Job %d is no longer pending (taken by another thread or cancelled).",
         [&] { process(job); });
  return nullptr;
}

// A raster job received as a stream, in its client's thread: it waits for the printer's
// turn (rather than meeting another job on the device), and is not printed if it was
// cancelled meanwhile.
void processStreamedJob(pappl_job_t* job, pappl_client_t* client)
{
  static const auto process = realFunction<StreamProcessor>("_papplJobProcessRaster");
  if (process == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_FATAL,
                "libpappl has no raster processor: the job cannot print.");
    return;
  }
  inTurn(job, PAPPL_LOGLEVEL_INFO, "Job %d was cancelled before it printed.",
         [&] { process(job, client); });
}

}  // namespace app

// libpappl's job processors, replaced.  PAPPL 1.3 only: the build defines
// LABEL_APP_TAKES_JOBS for the PAPPL whose internals these names were checked on.
#ifdef LABEL_APP_TAKES_JOBS
extern "C" void* _papplJobProcess(pappl_job_t* job)
{
  return app::processSpooledJob(job);
}

extern "C" void _papplJobProcessRaster(pappl_job_t* job, pappl_client_t* client)
{
  app::processStreamedJob(job, client);
}
#endif
