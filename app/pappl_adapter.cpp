// pappl_adapter.cpp: label-printer-app on PAPPL.  Every PAPPL call of the application is in
// this file, so that a later PAPPL with another API changes this file alone.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// The server: papplMainloop's sub-commands and server options, listening on localhost unless
// `-o listen-hostname=` says otherwise; four drivers (ZPL II and DPL, 203 and 300 dpi) whose
// raster callbacks feed the encoder core with 1-bit rows; PDF rendered here, PNG checked and
// decoded here, JPEG and PWG/Apple raster by PAPPL; raw ZPL and DPL passed through unchanged.

#include "app.h"
#include "hoststatus.h"
#include "jobpreview.h"
#include "labelsettings.h"
#include "pdfraster.h"
#include "statusquery.h"
#include "testlabel.h"

#include <pappl/pappl.h>
#include <png.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace app {
namespace {

constexpr const char* kBaseName = "label-printer-app";
constexpr const char* kVersion = "1.0";
constexpr const char* kFooter =
    "label-printer-app " "1.0" ": driverless printing for ZPL II and DPL label printers.";

// One printer's status queries (see "Printer status"): the reasons its replies set, whether
// a query is running, whether the last one was answered, and until when a printer that did
// not answer is left alone (each silent query holds a client thread up to the deadline).
struct PrinterStatus {
  StatusReasons reasons = kReasonNone;
  bool querying = false;
  bool answering = true;
  std::chrono::steady_clock::time_point quietUntil;
};

// A printer's turn to process a job, from the job's start to its device closed (see
// processSpooledJob); `gone` once the printer is deleted.
struct JobTurn {
  std::mutex mutex;
  std::atomic<bool> gone{false};
};

// What the whole application keeps: where the state is saved and whether a change awaits
// saving, and what each printer's host status queries have found, by printer ID.  Every
// printer's driver data points here (its `extension`), so that callbacks given only a
// printer or a job reach it.
struct AppContext {
  std::string stateFile;
  std::atomic<bool> unsaved{false};
  std::mutex statusMutex;
  std::map<int, PrinterStatus> statuses;
  // One job at a time on each printer's device, by printer ID (see printerTurn and JobTurn).
  std::mutex turnsMutex;
  std::map<int, std::unique_ptr<std::mutex>> turns;
  std::map<int, std::unique_ptr<JobTurn>> jobTurns;
  PreviewShelf previews;                // each printer's last jobs, for its preview page
  std::atomic<unsigned> testLabels{0};  // test label files made, for their names
  std::atomic<unsigned> jobsEnded{0};   // jobs completed, cancelled or aborted (see saveChanges)
  unsigned jobsEndedSeen = 0;           // ... at the timer's last look, and at its last trim
  unsigned jobsEndedTrimmed = 0;
};

AppContext* appContext(pappl_printer_t* printer)
{
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  return static_cast<AppContext*>(data.extension);
}

// Waits until no other job of the job's printer is sending, and holds the printer until the
// lock is dropped.  PAPPL 1.3.1 can run a raster job it receives as a stream while the job
// thread starts a spooled one on the same printer; the two then meet on the device (one
// job's write fails, labels are lost: seen under load).  Where the application takes PAPPL's
// job processing over (see "Taking jobs") that cannot happen; this keeps two jobs' bytes apart
// where it does not.
std::unique_lock<std::mutex> printerTurn(pappl_job_t* job)
{
  pappl_printer_t* printer = papplJobGetPrinter(job);
  AppContext* context = appContext(printer);
  if (context == nullptr)
    return {};
  std::mutex* turn;
  {
    std::lock_guard<std::mutex> lock(context->turnsMutex);
    auto& slot = context->turns[papplPrinterGetID(printer)];
    if (!slot)
      slot = std::make_unique<std::mutex>();
    turn = slot.get();
  }
  return std::unique_lock<std::mutex>(*turn);
}

// ---------------------------------------------------------------------------------------------
// Taking jobs
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

JobTurn* jobTurn(pappl_printer_t* printer)
{
  AppContext* context = appContext(printer);
  if (context == nullptr)
    return nullptr;
  int id = papplPrinterGetID(printer);
  std::lock_guard<std::mutex> lock(context->turnsMutex);
  auto& slot = context->jobTurns[id];
  if (!slot)
    slot = std::make_unique<JobTurn>();
  return slot.get();
}

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
template <typename Process>
void inTurn(pappl_job_t* job, pappl_loglevel_t level, const char* left, Process process)
{
  static const auto checkJobs = realFunction<JobChecker>("_papplPrinterCheckJobs");
  pappl_printer_t* printer = papplJobGetPrinter(job);
  int id = papplJobGetID(job);
  JobTurn* turn = jobTurn(printer);
  if (turn == nullptr)
    return process();
  {
    std::lock_guard<std::mutex> hold(turn->mutex);
    if (!turn->gone && papplPrinterFindJob(printer, id) == job &&
        papplJobGetState(job) == IPP_JSTATE_PENDING)
      return process();
  }
  if (turn->gone)
    return;
  papplLogPrinter(printer, level, left, id);
  if (checkJobs != nullptr)
    checkJobs(printer);
}

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

// ---------------------------------------------------------------------------------------------
// Jobs

// Where a job's bytes go: the device.  A cancelled job still writes what the encoder sends
// after the cancel (the rest of a graphic download in flight, the end of a DPL label), so
// that the printer is never left inside a half label; the encoder itself starts nothing new.
struct DeviceSink {
  pappl_job_t* job;
  pappl_device_t* device;
};

void captureWritten(pappl_job_t* job, const unsigned char* data, ssize_t written);
void keepPreview(pappl_job_t* job, JobCapture& capture, bool failed);

int writeDevice(void* context, const unsigned char* data, std::size_t length)
{
  auto* sink = static_cast<DeviceSink*>(context);
  ssize_t written = papplDeviceWrite(sink->device, data, length);
  captureWritten(sink->job, data, written);
  return written == static_cast<ssize_t>(length) ? 0 : EIO;
}

// One job's encoder and where its bytes go.
struct AppJob {
  Language language = Language::zpl;
  zpl::Job zplJob;
  dpl::Job dplJob;
  DeviceSink sink{nullptr, nullptr};
  JobCapture capture;  // the bytes sent, for the preview page
  std::unique_lock<std::mutex> turn;  // the printer, held from start to end
};

Language printerLanguage(pappl_printer_t* printer)
{
  const char* name = papplPrinterGetDriverName(printer);
  const DriverModel* model = findDriver(name != nullptr ? name : "");
  return model != nullptr ? model->language : Language::zpl;
}

// The job's values: its options, the printer's configured label mode and tear-off offset.
LabelValues jobValues(pappl_job_t* job, const pappl_pr_options_t* options)
{
  LabelValues values;
  values.darknessConfigured = options->darkness_configured;
  values.printDarkness = options->print_darkness;
  values.printSpeed = options->print_speed;
  values.tracking = options->media.tracking == PAPPL_MEDIA_TRACKING_CONTINUOUS ? Tracking::continuous
                    : options->media.tracking == PAPPL_MEDIA_TRACKING_MARK     ? Tracking::mark
                                                                               : Tracking::gap;
  values.topOffset = options->media.top_offset;

  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
  values.mode = data.mode_configured == PAPPL_LABEL_MODE_REWIND    ? LabelMode::rewind
                : data.mode_configured == PAPPL_LABEL_MODE_PEEL_OFF ? LabelMode::peelOff
                : data.mode_configured == PAPPL_LABEL_MODE_CUTTER   ? LabelMode::cutter
                                                                    : LabelMode::tearOff;
  values.tearOffset = data.tear_offset_configured;
  // The vendor attributes: the job's own, else the printer's default.  (PAPPL 1.3.1 leaves
  // the defaults out of options->vendor.)
  ipp_t* driverAttrs = papplPrinterGetDriverAttributes(papplJobGetPrinter(job));
  VendorTable table = vendorOptions(printerLanguage(papplJobGetPrinter(job)));
  for (std::size_t i = 0; i < table.count; i++) {
    std::string name = table.options[i].name;
    ipp_attribute_t* attr = papplJobGetAttribute(job, name.c_str());
    if (attr == nullptr && driverAttrs != nullptr)
      attr = ippFindAttribute(driverAttrs, (name + "-default").c_str(), IPP_TAG_ZERO);
    char text[256];
    if (attr != nullptr && ippAttributeString(attr, text, sizeof text) > 0)
      setVendor(values, name, text);
  }
  ippDelete(driverAttrs);
  return values;
}

AppJob* appJob(pappl_job_t* job)
{
  return static_cast<AppJob*>(papplJobGetData(job));
}

// Passes a cancel of the job on to its encoder.
void noteCancel(pappl_job_t* job, AppJob& state)
{
  if (!papplJobIsCanceled(job))
    return;
  if (state.language == Language::zpl)
    zpl::requestCancel(state.zplJob);
  else
    dpl::requestCancel(state.dplJob);
}

// Logs a failed encoder call and marks the job; false, for the callback's result.
bool failJob(pappl_job_t* job, const std::string& reason)
{
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason.c_str());
  papplJobSetMessage(job, "%s", reason.c_str());
  return false;
}

bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device)
{
  auto* state = new AppJob;
  state->turn = printerTurn(job);
  state->language = printerLanguage(papplJobGetPrinter(job));
  state->sink = {job, device};
  papplJobSetData(job, state);

  LabelValues values = jobValues(job, options);
  int dpi = static_cast<int>(options->header.HWResolution[0]);
  ByteSink sink{writeDevice, &state->sink};
  if (state->language == Language::zpl)
    zpl::startJob(state->zplJob, zpl::settingsFromValues(zplValues(values)), dpi, false, 1, sink);
  else
    dpl::startJob(state->dplJob, dpl::settingsFromValues(dplValues(values)), dpi, false, 1, sink);
  return true;
}

bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned)
{
  AppJob* state = appJob(job);
  if (state == nullptr)
    return false;
  const cups_page_header2_t& header = options->header;
  if (header.cupsBitsPerPixel != 1)
    return failJob(job, "The page is not one bit per dot");
  PageSize page;
  page.width = header.cupsWidth;
  page.height = header.cupsHeight;
  page.bytesPerLine = header.cupsBytesPerLine;
  page.resolution = static_cast<int>(header.HWResolution[0]);
  Status status = state->language == Language::zpl ? zpl::startPage(state->zplJob, page)
                                                   : dpl::startPage(state->dplJob, page);
  if (status == Status::failed)
    return failJob(job, state->language == Language::zpl ? state->zplJob.error
                                                         : state->dplJob.error);
  return status == Status::ok;
}

bool writeLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned,
               const unsigned char* line)
{
  AppJob* state = appJob(job);
  if (state == nullptr)
    return false;
  noteCancel(job, *state);
  if (state->language == Language::zpl)
    zpl::writeRow(state->zplJob, line);
  else
    dpl::writeRow(state->dplJob, line);
  return true;
}

bool endPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned)
{
  AppJob* state = appJob(job);
  if (state == nullptr)
    return false;
  noteCancel(job, *state);
  Status status = state->language == Language::zpl ? zpl::finishPage(state->zplJob)
                                                   : dpl::finishPage(state->dplJob);
  if (status == Status::failed)
    return failJob(job, state->language == Language::zpl ? state->zplJob.error
                                                         : state->dplJob.error);
  return status == Status::ok;
}

bool endJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*)
{
  AppJob* state = appJob(job);
  if (state == nullptr)
    return false;
  noteCancel(job, *state);
  Status status = state->language == Language::zpl ? zpl::finishJob(state->zplJob)
                                                   : dpl::finishJob(state->dplJob);
  std::string error = state->language == Language::zpl ? state->zplJob.error
                                                        : state->dplJob.error;
  keepPreview(job, state->capture, status != Status::ok);
  papplJobSetData(job, nullptr);
  delete state;
  if (status == Status::failed)
    return failJob(job, error);
  return true;
}

// Prints 1-bit label bitmaps through the raster callbacks, one page each.
bool printBitmaps(pappl_job_t* job, pappl_device_t* device, pappl_pr_options_t* options,
                  const std::vector<LabelBitmap>& pages)
{
  bool ok = startJob(job, options, device);
  unsigned number = 1;
  for (const LabelBitmap& page : pages) {
    if (!ok || papplJobIsCanceled(job))
      break;
    options->header.cupsWidth = page.width;
    options->header.cupsHeight = page.height;
    options->header.cupsBytesPerLine = page.bytesPerLine;
    options->header.cupsBitsPerPixel = 1;
    options->header.cupsBitsPerColor = 1;
    ok = startPage(job, options, device, number);
    for (unsigned y = 0; ok && y < page.height; y++)
      writeLine(job, options, device, y, page.bits.data() + static_cast<std::size_t>(y) * page.bytesPerLine);
    ok = ok && endPage(job, options, device, number);
    if (ok)
      papplJobSetImpressionsCompleted(job, 1);
    number++;
  }
  return endJob(job, options, device) && ok;
}

// ---------------------------------------------------------------------------------------------
// Document formats

// application/pdf: each page rendered here and printed through the raster callbacks.
bool printPdf(pappl_job_t* job, pappl_device_t* device)
{
  const char* filename = papplJobGetFilename(job);
  if (filename == nullptr)
    return failJob(job, "The job has no document");
  std::string error;
  PdfPtr pdf = openPdf(filename, error);
  if (!pdf)
    return failJob(job, error);
  int count = pdfPageCount(*pdf);
  papplJobSetImpressions(job, count);
  pappl_pr_options_t* options = papplJobCreatePrintOptions(job, static_cast<unsigned>(count), false);
  int dpi = static_cast<int>(options->header.HWResolution[0]);
  int first = std::max(1u, options->first_page), last = std::min<long>(count, options->last_page);

  bool ok = startJob(job, options, device);
  for (int number = first; ok && number <= last && !papplJobIsCanceled(job); number++) {
    LabelBitmap page;
    if (!renderPdfPage(*pdf, number - 1, dpi, options->header.cupsWidth,
                       options->header.cupsHeight, page, error)) {
      ok = failJob(job, error);
      break;
    }
    options->header.cupsBytesPerLine = page.bytesPerLine;
    options->header.cupsBitsPerPixel = 1;
    ok = startPage(job, options, device, static_cast<unsigned>(number));
    for (unsigned y = 0; ok && y < page.height; y++)
      writeLine(job, options, device, y, page.bits.data() + static_cast<std::size_t>(y) * page.bytesPerLine);
    ok = ok && endPage(job, options, device, static_cast<unsigned>(number));
    if (ok)
      papplJobSetImpressionsCompleted(job, 1);
  }
  if (appJob(job) != nullptr)
    ok = endJob(job, options, device) && ok;
  papplJobDeletePrintOptions(options);
  return ok;
}

// Reads a whole file; false when it cannot be read or is larger than `limit`.
bool readWholeFile(const char* path, std::size_t limit, std::vector<unsigned char>& data)
{
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && info.st_size >= 0 &&
            static_cast<unsigned long long>(info.st_size) <= limit;
  if (ok) {
    data.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    while (got < data.size()) {
      ssize_t n = read(fd, data.data() + got, data.size() - got);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      got += static_cast<std::size_t>(n);
    }
    ok = got == data.size();
  }
  close(fd);
  return ok;
}

// image/png: checked whole before it is decoded (libpng's reader never returns on some cut
// files), decoded to grey with libpng's simplified reader, and printed thresholded.
bool printPng(pappl_job_t* job, pappl_device_t* device)
{
  std::vector<unsigned char> file;
  if (!readWholeFile(papplJobGetFilename(job), 64u << 20, file))
    return failJob(job, "The PNG file cannot be read or is too large");
  if (!pngIsWhole(file.data(), file.size()))
    return failJob(job, "The PNG file is truncated or damaged");

  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size()))
    return failJob(job, std::string("The PNG file cannot be decoded: ") + image.message);
  image.format = PNG_FORMAT_GRAY;
  if (image.width == 0 || image.height == 0 || image.width > 20000 || image.height > 20000) {
    png_image_free(&image);
    return failJob(job, "The PNG image is empty or too large");
  }
  std::vector<unsigned char> grey(static_cast<std::size_t>(image.width) * image.height);
  png_color white = {255, 255, 255};
  if (!png_image_finish_read(&image, &white, grey.data(), 0, nullptr)) {
    std::string message = image.message;
    png_image_free(&image);
    return failJob(job, "The PNG file cannot be decoded: " + message);
  }

  papplJobSetImpressions(job, 1);
  pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, false);
  std::vector<LabelBitmap> pages(1);
  placeGrey(grey.data(), image.width, image.height, image.width, options->header.cupsWidth,
            options->header.cupsHeight, pages[0]);
  bool ok = printBitmaps(job, device, options, pages);
  papplJobDeletePrintOptions(options);
  return ok;
}

// Runs a document filter; no C++ exception (out of memory, most likely) may unwind into
// PAPPL's C code, so one ends the job as failed.
template <class Print>
bool guarded(pappl_job_t* job, Print print)
{
  try {
    return print();
  } catch (const std::exception& e) {
    if (AppJob* state = appJob(job)) {
      papplJobSetData(job, nullptr);
      delete state;
    }
    return failJob(job, std::string("The document cannot be printed: ") + e.what());
  }
}

bool filterPdf(pappl_job_t* job, pappl_device_t* device, void*)
{
  return guarded(job, [&] { return printPdf(job, device); });
}

bool filterPng(pappl_job_t* job, pappl_device_t* device, void*)
{
  return guarded(job, [&] { return printPng(job, device); });
}

// Reads up to `length` bytes, fewer only at the end of the file; -1 on an error.
ssize_t readFull(int fd, unsigned char* buffer, std::size_t length)
{
  std::size_t got = 0;
  while (got < length) {
    ssize_t n = read(fd, buffer + got, length - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return -1;
    if (n == 0)
      break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Raw ZPL or DPL: copied to the printer unchanged, once its start shows it is in the
// printer's language (anything else would be printed as garbage or jam the printer's parser).
bool printRaw(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device)
{
  std::unique_lock<std::mutex> turn = printerTurn(job);
  int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return failJob(job, std::string("Unable to open the print file: ") + std::strerror(errno));
  unsigned char buffer[65536];
  bool ok = true;
  bool first = true;
  JobCapture capture;
  for (;;) {
    ssize_t n = readFull(fd, buffer, sizeof buffer);
    if (n < 0) {
      ok = failJob(job, std::string("Unable to read the print file: ") + std::strerror(errno));
      break;
    }
    if (first) {
      first = false;
      Language language = printerLanguage(papplJobGetPrinter(job));
      Sniffed kind = sniffRaw(buffer, static_cast<std::size_t>(n));
      if (n == 0) {
        ok = failJob(job, "The document is empty");
        break;
      }
      if (kind != (language == Language::zpl ? Sniffed::zpl : Sniffed::dpl)) {
        ok = failJob(job, language == Language::zpl ? "The document is not a ZPL II job"
                                                    : "The document is not a DPL job");
        break;
      }
    }
    if (n == 0 || papplJobIsCanceled(job))
      break;
    ssize_t written = papplDeviceWrite(device, buffer, static_cast<std::size_t>(n));
    if (written > 0)
      captureBytes(capture, buffer, static_cast<std::size_t>(written));
    if (written != n) {
      ok = failJob(job, "Unable to write print data to the printer");
      break;
    }
  }
  close(fd);
  keepPreview(job, capture, !ok);
  // One impression; PAPPL counts it as completed when the job ends well.
  papplJobSetImpressions(job, 1);
  return ok;
}

// Types documents sent as application/octet-stream that PAPPL does not recognise.
const char* sniffFormat(const unsigned char* header, std::size_t size, void*)
{
  switch (sniffRaw(header, size)) {
    case Sniffed::zpl: return kZplFormat;
    case Sniffed::dpl: return kDplFormat;
    default: return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// Printer status

constexpr std::chrono::seconds kQuietAfterNoAnswer{30};

// The application's reasons as PAPPL's bits.  PAPPL 1.3.1 has no bit for a printer paused
// at its own panel (its "paused" is the queue's stopped state) nor for the print head's
// temperature, so these three show as "other"; the log names them.
pappl_preason_t printerReasons(StatusReasons reasons)
{
  static constexpr struct {
    StatusReason reason;
    pappl_preason_t bit;
  } kMap[] = {{kReasonMediaEmpty, PAPPL_PREASON_MEDIA_EMPTY},
              {kReasonCoverOpen, PAPPL_PREASON_COVER_OPEN},
              {kReasonMarkerSupplyEmpty, PAPPL_PREASON_MARKER_SUPPLY_EMPTY},
              {kReasonSpoolAreaFull, PAPPL_PREASON_SPOOL_AREA_FULL},
              {kReasonPaused, PAPPL_PREASON_OTHER},
              {kReasonOverTemperature, PAPPL_PREASON_OTHER},
              {kReasonUnderTemperature, PAPPL_PREASON_OTHER}};
  unsigned bits = PAPPL_PREASON_NONE;
  for (const auto& m : kMap) {
    if (reasons & m.reason)
      bits |= m.bit;
  }
  return static_cast<pappl_preason_t>(bits);
}

// A USB printer, through the device PAPPL opened (each read waits as long as PAPPL's USB
// read does).
bool sendDevice(void* context, const char* bytes, std::size_t length)
{
  auto* device = static_cast<pappl_device_t*>(context);
  if (papplDeviceWrite(device, bytes, length) != static_cast<ssize_t>(length))
    return false;
  papplDeviceFlush(device);
  return true;
}

long receiveDevice(void* context, char* buffer, std::size_t size, Milliseconds)
{
  ssize_t n = papplDeviceRead(static_cast<pappl_device_t*>(context), buffer, size);
  return n < 0 ? -1 : static_cast<long>(n);
}

// Asks the printer, and records and applies what it says.
void updateStatus(pappl_printer_t* printer, AppContext& context)
{
  const char* deviceUri = papplPrinterGetDeviceURI(printer);
  std::string uri = deviceUri != nullptr ? deviceUri : "";
  std::string host;
  int port = 0;
  bool network = parseSocketUri(uri, host, port);
  // A file or any other device has no status to read; a printer busy with a job is not
  // disturbed.
  if ((!network && uri.rfind("usb://", 0) != 0) || papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING)
    return;

  int id = papplPrinterGetID(printer);
  {
    std::lock_guard<std::mutex> lock(context.statusMutex);
    PrinterStatus& s = context.statuses[id];
    if (s.querying || std::chrono::steady_clock::now() < s.quietUntil)
      return;
    s.querying = true;
  }
  // Whatever happens below, the next query may run.
  struct Done {
    AppContext& context;
    int id;
    ~Done()
    {
      std::lock_guard<std::mutex> lock(context.statusMutex);
      if (auto it = context.statuses.find(id); it != context.statuses.end())
        it->second.querying = false;
    }
  } done{context, id};

  QueryResult result;
  if (network) {
    result = queryHostStatus(host, port);
  } else if (pappl_device_t* device = papplPrinterOpenDevice(printer)) {
    result = queryHostStatus(StatusChannel{device, sendDevice, receiveDevice});
    papplPrinterCloseDevice(printer);
  } else {
    result.error = "the device cannot be opened or is in use";
  }

  std::optional<HostStatus> status;
  if (result.outcome == QueryOutcome::answered) {
    status = parseHostStatus(result.reply);
    if (!status)
      papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Unreadable host status reply, reasons left as they were: \"%s\"",
                      printableBytes(result.reply).c_str());
  }
  bool silent = result.outcome != QueryOutcome::answered;

  StatusReasons before, after;
  bool firstSilence = false;
  {
    std::lock_guard<std::mutex> lock(context.statusMutex);
    PrinterStatus& s = context.statuses[id];
    ReasonUpdate update = updateReasons(s.reasons, status);
    before = s.reasons;
    after = s.reasons = update.current;
    firstSilence = silent && s.answering;
    s.answering = !silent;
    if (silent)
      s.quietUntil = std::chrono::steady_clock::now() + kQuietAfterNoAnswer;
  }
  if (silent)
    papplLogPrinter(printer, firstSilence ? PAPPL_LOGLEVEL_WARN : PAPPL_LOGLEVEL_DEBUG,
                    "No host status from the printer (%s); asking again in %d s, reasons left as they were",
                    result.error.c_str(), static_cast<int>(kQuietAfterNoAnswer.count()));
  if (after != before) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Printer status: %s (was %s)", reasonNames(after).c_str(),
                    reasonNames(before).c_str());
    pappl_preason_t old = printerReasons(before), now = printerReasons(after);
    papplPrinterSetReasons(printer, static_cast<pappl_preason_t>(now & ~old),
                           static_cast<pappl_preason_t>(old & ~now));
  }
}

// PAPPL's status callback, on a client thread when the printer's state is read while it is
// idle.  No exception may unwind into PAPPL's C code.
bool statusCallback(pappl_printer_t* printer)
{
  AppContext* context = appContext(printer);
  if (context == nullptr)
    return true;
  try {
    updateStatus(printer, *context);
  } catch (const std::exception& e) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Printer status not read: %s", e.what());
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Drivers

struct MediaSize {
  const char* name;
  bool zplOnly;
};

// Label stock with PWG self-describing names without dots: sizes in whole inches or whole
// millimetres (a 2.25 x 1.25 in label is named by its size in millimetres).
constexpr const char* kMedia[] = {
    "oe_4x6-label_4x6in",     "oe_4x4-label_4x4in",         "oe_4x3-label_4x3in",
    "oe_4x2-label_4x2in",     "oe_3x2-label_3x2in",         "oe_2x1-label_2x1in",
    "om_57x32mm-label_57x32mm", "om_38x25mm-label_38x25mm", "om_100x150mm-label_100x150mm",
    "om_100x100mm-label_100x100mm", "om_60x40mm-label_60x40mm", "om_50x30mm-label_50x30mm",
};

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

void deleteCallback(pappl_printer_t* printer, pappl_pr_driver_data_t*);
const char* testPage(pappl_printer_t* printer, char* buffer, std::size_t size);

bool driverCallback(pappl_system_t*, const char* driverName, const char*, const char*,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* context)
{
  const DriverModel* model = findDriver(driverName != nullptr ? driverName : "");
  if (model == nullptr)
    return false;
  bool zpl = model->language == Language::zpl;

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
  if (zpl)
    data->status_cb = statusCallback;

  data->format = zpl ? kZplFormat : kDplFormat;
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
  data->borderless = true;
  data->left_right = data->bottom_top = 0;

  data->num_media = 0;
  for (const char* name : kMedia)
    data->media[data->num_media++] = name;
  // Custom sizes: up to the 4.17 in print head; ZPL labels up to 100 in, DPL up to 33 in
  // (the label-size command's four digits at 300 dpi).
  data->media[data->num_media++] = "roll_min_13x7mm";
  data->media[data->num_media++] = zpl ? "roll_max_106x2540mm" : "roll_max_106x838mm";

  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 3;
  data->type[0] = "labels";
  data->type[1] = "labels-continuous";
  data->type[2] = "continuous";
  data->tracking_supported = static_cast<pappl_media_tracking_t>(
      PAPPL_MEDIA_TRACKING_GAP | PAPPL_MEDIA_TRACKING_MARK | PAPPL_MEDIA_TRACKING_CONTINUOUS);
  data->top_offset_supported[0] = zpl ? -1000 : -800;
  data->top_offset_supported[1] = zpl ? 1000 : 800;

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
  if (zpl) {
    data->tear_offset_supported[0] = -1000;
    data->tear_offset_supported[1] = 1000;
    data->tear_offset_configured = 0;
    data->speed_supported[0] = 2 * 2540;
    data->speed_supported[1] = 12 * 2540;
    data->speed_default = 0;
    data->darkness_supported = 31;
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

// ---------------------------------------------------------------------------------------------
// The web page for the label settings PAPPL's own pages lack: label mode, tear-off offset,
// printer darkness and the vendor attributes.

constexpr struct {
  pappl_label_mode_t mode;
  const char* keyword;
  const char* text;
} kModes[] = {{PAPPL_LABEL_MODE_TEAR_OFF, "tear-off", "Tear-off"},
              {PAPPL_LABEL_MODE_REWIND, "rewind", "Rewind"},
              {PAPPL_LABEL_MODE_PEEL_OFF, "peel-off", "Peel-off"},
              {PAPPL_LABEL_MODE_CUTTER, "cutter", "Cutter"}};

// Applies a submitted form; returns the status line for the page.
const char* applyLabelForm(pappl_printer_t* printer, int numForm, cups_option_t* form)
{
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  if (const char* mode = cupsGetOption("label-mode-configured", numForm, form)) {
    for (const auto& m : kModes) {
      if (std::strcmp(mode, m.keyword) == 0)
        data.mode_configured = m.mode;
    }
  }
  if (const char* tear = cupsGetOption("label-tear-offset-configured", numForm, form);
      tear != nullptr && data.tear_offset_supported[1] > 0) {
    // Millimetres in the form, 1/100 mm in IPP.
    long value = std::lround(std::strtod(tear, nullptr) * 100);
    data.tear_offset_configured = static_cast<int>(std::clamp<long>(
        value, data.tear_offset_supported[0], data.tear_offset_supported[1]));
  }
  if (const char* dark = cupsGetOption("printer-darkness-configured", numForm, form);
      dark != nullptr && data.darkness_supported > 0)
    data.darkness_configured = std::clamp(std::atoi(dark), 0, 100);

  // Vendor defaults: every option of the printer's language, unchecked boxes as false.
  std::vector<std::pair<std::string, std::string>> values;
  VendorTable table = vendorOptions(printerLanguage(printer));
  for (std::size_t i = 0; i < table.count; i++) {
    const VendorOption& option = table.options[i];
    const char* value = cupsGetOption(option.name, numForm, form);
    if (option.kind == VendorOption::boolean)
      values.emplace_back(option.name, value != nullptr ? "true" : "false");
    else if (option.kind == VendorOption::range && value != nullptr)
      values.emplace_back(option.name, std::to_string(std::clamp(std::atoi(value), option.low, option.high)));
    else if (value != nullptr)
      values.emplace_back(option.name, value);
  }
  cups_option_t* vendor = nullptr;
  int numVendor = 0;
  for (const auto& [name, value] : values)
    numVendor = cupsAddOption(name.c_str(), value.c_str(), numVendor, &vendor);
  bool ok = papplPrinterSetDriverDefaults(printer, &data, numVendor, vendor);
  cupsFreeOptions(numVendor, vendor);
  return ok ? "Changes saved." : "Some values were not accepted.";
}

// The current default of vendor option `name`, as IPP writes it.
std::string vendorDefault(pappl_printer_t* printer, const VendorOption& option)
{
  std::string value = option.defaultValue;
  ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
  std::string name = std::string(option.name) + "-default";
  char text[256];
  if (ipp_attribute_t* attr = ippFindAttribute(attrs, name.c_str(), IPP_TAG_ZERO);
      attr != nullptr && ippAttributeString(attr, text, sizeof text) > 0)
    value = text;
  ippDelete(attrs);
  return value;
}

bool labelPage(pappl_client_t* client, void* data)
{
  auto* printer = static_cast<pappl_printer_t*>(data);
  if (!papplClientHTMLAuthorize(client))
    return true;
  const char* status = nullptr;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    cups_option_t* form = nullptr;
    int numForm = papplClientGetForm(client, &form);
    status = papplClientIsValidForm(client, numForm, form) ? applyLabelForm(printer, numForm, form)
                                                           : "Invalid form data.";
    cupsFreeOptions(numForm, form);
  }

  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  papplClientHTMLPrinterHeader(client, printer, "Label Settings", 0, nullptr, nullptr);
  if (status != nullptr)
    papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", status);
  char path[256];
  papplPrinterGetPath(printer, "label", path, sizeof path);
  papplClientHTMLStartForm(client, path, false);
  papplClientHTMLPuts(client, "<table class=\"form\"><tbody>\n"
                              "<tr><th>Label mode:</th><td><select name=\"label-mode-configured\">");
  for (const auto& m : kModes)
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", m.keyword,
                          driver.mode_configured == m.mode ? " selected" : "", m.text);
  papplClientHTMLPuts(client, "</select></td></tr>\n");
  if (driver.tear_offset_supported[1] > 0)
    papplClientHTMLPrintf(client,
                          "<tr><th>Tear-off offset:</th><td><input type=\"number\" "
                          "name=\"label-tear-offset-configured\" min=\"%.1f\" max=\"%.1f\" "
                          "step=\"0.5\" value=\"%.1f\"> mm</td></tr>\n",
                          driver.tear_offset_supported[0] / 100.0,
                          driver.tear_offset_supported[1] / 100.0,
                          driver.tear_offset_configured / 100.0);
  if (driver.darkness_supported > 0)
    papplClientHTMLPrintf(client,
                          "<tr><th>Printer darkness:</th><td><input type=\"number\" "
                          "name=\"printer-darkness-configured\" min=\"0\" max=\"100\" "
                          "value=\"%d\"> %%</td></tr>\n",
                          driver.darkness_configured);

  VendorTable table = vendorOptions(printerLanguage(printer));
  for (std::size_t i = 0; i < table.count; i++) {
    const VendorOption& option = table.options[i];
    std::string value = vendorDefault(printer, option);
    papplClientHTMLPrintf(client, "<tr><th>%s:</th><td>", option.name);
    if (option.kind == VendorOption::boolean) {
      papplClientHTMLPrintf(client, "<input type=\"checkbox\" name=\"%s\"%s>", option.name,
                            value == "true" ? " checked" : "");
    } else if (option.kind == VendorOption::range) {
      papplClientHTMLPrintf(client, "<input type=\"number\" name=\"%s\" min=\"%d\" max=\"%d\" value=\"%d\">",
                            option.name, option.low, option.high, std::atoi(value.c_str()));
    } else {
      papplClientHTMLPrintf(client, "<select name=\"%s\">", option.name);
      std::string words = option.keywords;
      for (std::size_t at = 0; at <= words.size();) {
        std::size_t comma = std::min(words.find(',', at), words.size());
        std::string word = words.substr(at, comma - at);
        papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", word.c_str(),
                              word == value ? " selected" : "", word.c_str());
        at = comma + 1;
      }
      papplClientHTMLPuts(client, "</select>");
    }
    papplClientHTMLPuts(client, " <small>");
    papplClientHTMLEscape(client, option.meaning, 0);
    papplClientHTMLPuts(client, "</small></td></tr>\n");
  }
  papplClientHTMLPuts(client, "<tr><th></th><td><input type=\"submit\" value=\"Save Changes\"></td></tr>\n"
                              "</tbody></table></form>\n");
  papplClientHTMLPrinterFooter(client);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Preview
//
// The printer's last jobs drawn from the bytes that went to the device (`/<printer>/preview`,
// each label a PNG at `/<printer>/preview.png?job=ID&label=N`), and the test label, which
// PAPPL's "Print Test Page" button and the preview page's button print.

void captureWritten(pappl_job_t* job, const unsigned char* data, ssize_t written)
{
  if (AppJob* state = appJob(job); state != nullptr && written > 0)
    captureBytes(state->capture, data, static_cast<std::size_t>(written));
}

// Puts a job that has ended on its printer's shelf.  A preview lost for want of memory does
// not fail the job.
void keepPreview(pappl_job_t* job, JobCapture& capture, bool failed)
{
  pappl_printer_t* printer = papplJobGetPrinter(job);
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  auto* context = static_cast<AppContext*>(data.extension);
  if (context == nullptr)
    return;
  try {
    KeptJob kept;
    kept.id = papplJobGetID(job);
    const char* name = papplJobGetName(job);
    kept.name = name != nullptr ? name : "";
    kept.dpi = data.x_default > 0 ? data.x_default : 203;
    kept.failed = failed || papplJobIsCanceled(job);
    kept.total = capture.total;
    kept.tooLarge = capture.tooLarge;
    kept.bytes = std::move(capture.bytes);
    keepJob(context->previews, papplPrinterGetID(printer), std::move(kept));
  } catch (const std::exception& e) {
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "No preview of the job: %s", e.what());
  }
}

// Writes the test label of the printer's default label into a spool file, for PAPPL to print
// and remove; returns its name, or null.
const char* writeTestLabel(pappl_printer_t* printer, char* buffer, std::size_t size)
{
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  auto* context = static_cast<AppContext*>(data.extension);
  if (context == nullptr)
    return nullptr;
  int dpi = data.x_default > 0 ? data.x_default : 203;
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

const char* testPage(pappl_printer_t* printer, char* buffer, std::size_t size)
{
  try {
    return writeTestLabel(printer, buffer, size);
  } catch (const std::exception& e) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "No test label: %s", e.what());
    return nullptr;
  }
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

void htmlText(pappl_client_t* client, const std::string& text)
{
  papplClientHTMLEscape(client, text.c_str(), text.size());
}

void showKeptJob(pappl_client_t* client, pappl_printer_t* printer, const KeptJob& job)
{
  JobSummary summary = summarizeJob(job);
  papplClientHTMLPrintf(client, "<h2 class=\"title\">Job %d: ", job.id);
  htmlText(client, job.name);
  papplClientHTMLPrintf(client, "</h2>\n<p class=\"job-state\">%s, %llu bytes sent to the printer.</p>\n",
                        job.failed ? "Stopped or failed" : "Completed",
                        static_cast<unsigned long long>(job.total));
  if (!summary.problem.empty()) {
    papplClientHTMLPuts(client, "<p class=\"preview-problem\">");
    htmlText(client, summary.problem);
    papplClientHTMLPuts(client, "</p>\n");
  }
  char png[256];
  papplPrinterGetPath(printer, "preview.png", png, sizeof png);
  for (int n = 1; n <= summary.labels; n++) {
    papplClientHTMLPrintf(client,
                          "<div class=\"preview-label\"><img src=\"%s?job=%d&amp;label=%d\" "
                          "alt=\"Label %d of job %d\" style=\"max-width: 100%%; max-height: 60vh; "
                          "border: 1px solid #888; background: #fff;\">\n"
                          "<table class=\"list\"><tbody>\n",
                          png, job.id, n, n, job.id);
    for (const Setting& setting : summary.settings[static_cast<std::size_t>(n - 1)]) {
      papplClientHTMLPuts(client, "<tr><th>");
      htmlText(client, setting.name);
      papplClientHTMLPuts(client, ":</th><td>");
      htmlText(client, setting.value);
      papplClientHTMLPuts(client, "</td></tr>\n");
    }
    papplClientHTMLPuts(client, "</tbody></table></div>\n");
  }
  if (summary.moreLabels)
    papplClientHTMLPrintf(client, "<p>The job has more labels; the first %d are shown.</p>\n",
                          kPreviewLabels);
  if (!summary.description.empty()) {
    papplClientHTMLPuts(client, "<details><summary>Everything the job sets</summary><pre>");
    htmlText(client, summary.description);
    papplClientHTMLPuts(client, "</pre></details>\n");
  }
}

bool previewPage(pappl_client_t* client, void* data)
{
  auto* printer = static_cast<pappl_printer_t*>(data);
  if (!papplClientHTMLAuthorize(client))
    return true;
  const char* status = nullptr;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    cups_option_t* form = nullptr;
    int numForm = papplClientGetForm(client, &form);
    const char* action = cupsGetOption("action", numForm, form);
    if (!papplClientIsValidForm(client, numForm, form))
      status = "Invalid form data.";
    else if (action != nullptr && std::strcmp(action, "test-label") == 0)
      status = printTestLabel(client, printer);
    else
      status = "Unknown action.";
    cupsFreeOptions(numForm, form);
  }

  papplClientHTMLPrinterHeader(client, printer, "Label Preview", 0, nullptr, nullptr);
  if (status != nullptr)
    papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", status);
  char path[256];
  papplPrinterGetPath(printer, "preview", path, sizeof path);
  papplClientHTMLStartForm(client, path, false);
  papplClientHTMLPuts(client, "<input type=\"hidden\" name=\"action\" value=\"test-label\">"
                              "<input type=\"submit\" value=\"Print a test label\"></form>\n");
  try {
    AppContext* context = appContext(printer);
    std::vector<std::shared_ptr<const KeptJob>> jobs;
    if (context != nullptr)
      jobs = keptJobs(context->previews, papplPrinterGetID(printer));
    if (jobs.empty())
      papplClientHTMLPuts(client, "<p>No job has printed since the server started.</p>\n");
    else if (jobs.size() == 1)
      papplClientHTMLPuts(client, "<p>The last job as the printer got it.</p>\n");
    else
      papplClientHTMLPrintf(client, "<p>The last %u jobs as the printer got them, newest first.</p>\n",
                            static_cast<unsigned>(jobs.size()));
    for (const auto& job : jobs)
      showKeptJob(client, printer, *job);
  } catch (const std::exception& e) {
    papplClientHTMLPrintf(client, "<p class=\"preview-problem\">The preview cannot be drawn: %s</p>\n",
                          e.what());
  }
  papplClientHTMLPrinterFooter(client);
  return true;
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
    AppContext* context = appContext(printer);
    std::shared_ptr<const KeptJob> job =
        context != nullptr ? findKeptJob(context->previews, papplPrinterGetID(printer), id) : nullptr;
    drawn = job != nullptr && labelPng(*job, label, png, error);
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

void addPreviewPages(pappl_printer_t* printer)
{
  pappl_system_t* system = papplPrinterGetSystem(printer);
  char path[256];
  papplPrinterGetPath(printer, "preview.png", path, sizeof path);
  papplSystemAddResourceCallback(system, path, "image/png", previewImage, printer);
  papplPrinterGetPath(printer, "preview", path, sizeof path);
  papplSystemAddResourceCallback(system, path, "text/html", previewPage, printer);
  papplPrinterAddLink(printer, "Label Preview", path, PAPPL_LOPTIONS_NAVIGATION);
}

void forgetPreviews(pappl_printer_t* printer, pappl_pr_driver_data_t* data)
{
  if (auto* context = static_cast<AppContext*>(data->extension))
    forgetPrinter(context->previews, papplPrinterGetID(printer));
}

// A printer being deleted.  PAPPL removes the printer's pages itself, and calls this with its
// system lock held: removing a page here as well leaves that lock taken and the server hung.
// The printer's kept jobs go with it.
void deleteCallback(pappl_printer_t* printer, pappl_pr_driver_data_t* data)
{
  forgetPreviews(printer, data);
  if (auto* context = static_cast<AppContext*>(data->extension)) {
    int id = papplPrinterGetID(printer);
    std::lock_guard<std::mutex> lock(context->turnsMutex);
    auto found = context->jobTurns.find(id);
    if (found != context->jobTurns.end())
      found->second->gone = true;
  }
}

// A new or restored printer: its label supply, its label settings and preview pages.
void createCallback(pappl_printer_t* printer, void*)
{
  pappl_supply_t supply;
  std::memset(&supply, 0, sizeof supply);
  supply.color = PAPPL_SUPPLY_COLOR_NO_COLOR;
  std::snprintf(supply.description, sizeof supply.description, "Labels");
  supply.is_consumed = true;
  supply.level = -1;
  supply.type = PAPPL_SUPPLY_TYPE_OTHER;
  papplPrinterSetSupplies(printer, 1, &supply);

  char path[256];
  papplPrinterGetPath(printer, "label", path, sizeof path);
  papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", labelPage, printer);
  papplPrinterAddLink(printer, "Label Settings", path,
                      static_cast<pappl_loptions_t>(PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_CONFIGURATION));
  addPreviewPages(printer);
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
  const char* driver = nullptr;
  if (commands != nullptr && std::strstr(commands, "ZPL") != nullptr)
    driver = "zpl_203";
  else if (commands != nullptr && std::strstr(commands, "DPL") != nullptr)
    driver = "dpl_203";
  cupsFreeOptions(count, pairs);
  return driver;
}

// ---------------------------------------------------------------------------------------------
// System

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

// Writes the state beside the file and renames it over the old one, so that a server killed
// while saving keeps the last whole state.  While the server runs, only when printers or
// settings changed: PAPPL 1.3.1 also asks after every new job (for its job counter), and its
// papplSystemSaveState can deadlock against a Print-Job being received at that moment (the
// two take the system and printer locks in opposite orders; seen under load).
bool saveState(pappl_system_t* system, void* data)
{
  auto* context = static_cast<AppContext*>(data);
  if (!context->unsaved && papplSystemIsRunning(system))
    return true;
  context->unsaved = false;
  std::string next = context->stateFile + ".new";
  if (!papplSystemSaveState(system, next.c_str()) ||
      std::rename(next.c_str(), context->stateFile.c_str()) != 0) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to \"%s\": %s",
             context->stateFile.c_str(), std::strerror(errno));
    std::remove(next.c_str());
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

// With no authentication service, changes are taken from this host only: the local socket
// and loopback.  (PAPPL alone would take web form posts from any host that can reach a
// listener.)  With `-o auth-service=` PAPPL asks for a password instead.
http_status_t localOnly(pappl_client_t* client, const char*, gid_t, void*)
{
  const http_addr_t* peer = httpGetAddress(papplClientGetHTTP(client));
  if (peer != nullptr && (httpAddrFamily(const_cast<http_addr_t*>(peer)) == AF_LOCAL ||
                          httpAddrLocalhost(peer)))
    return HTTP_STATUS_CONTINUE;
  papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Refused a change from another host: %s",
                 papplClientGetHostName(client));
  return HTTP_STATUS_FORBIDDEN;
}

// The default state file and spool directory, where PAPPL's own defaults put them.
std::string defaultPath(const char* suffix, const char* rootDir)
{
  if (getuid() == 0)
    return std::string(rootDir) + "/" + kBaseName + suffix;
  std::string dir;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config)
    dir = config;
  else if (const char* home = std::getenv("HOME"); home != nullptr && *home)
    dir = std::string(home) + "/.config";
  else
    dir = "/tmp";
  mkdir(dir.c_str(), 0700);
  return dir + "/" + kBaseName + suffix;
}

pappl_loglevel_t logLevel(const char* value)
{
  static constexpr struct {
    const char* name;
    pappl_loglevel_t level;
  } levels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL}, {"error", PAPPL_LOGLEVEL_ERROR},
                {"warn", PAPPL_LOGLEVEL_WARN},   {"info", PAPPL_LOGLEVEL_INFO},
                {"debug", PAPPL_LOGLEVEL_DEBUG}};
  for (const auto& l : levels) {
    if (value != nullptr && std::strcmp(value, l.name) == 0)
      return l.level;
  }
  return PAPPL_LOGLEVEL_WARN;
}

pappl_soptions_t serverOptions(const char* value)
{
  static constexpr struct {
    const char* name;
    int add, remove;
  } words[] = {
      {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, 0},
      {"no-multi-queue", 0, PAPPL_SOPTIONS_MULTI_QUEUE},
      {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, 0},
      {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, 0},
      {"no-web-interface", 0, PAPPL_SOPTIONS_WEB_INTERFACE},
      {"web-log", PAPPL_SOPTIONS_WEB_LOG, 0},
      {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
      {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
      {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, 0},
      {"web-tls", PAPPL_SOPTIONS_WEB_TLS, 0},
      {"no-tls", PAPPL_SOPTIONS_NO_TLS, 0},
  };
  int options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
  if (value == nullptr)
    return static_cast<pappl_soptions_t>(options);
  std::string list = value;
  std::size_t at = 0;
  while (at <= list.size()) {
    std::size_t comma = list.find(',', at);
    std::string word = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (word == "none")
      options = PAPPL_SOPTIONS_NONE;
    for (const auto& w : words) {
      if (word == w.name)
        options = (options | w.add) & ~w.remove;
    }
    if (comma == std::string::npos)
      break;
    at = comma + 1;
  }
  return static_cast<pappl_soptions_t>(options);
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

  std::string spoolDir = spool != nullptr ? spool : defaultPath(".d", "/var/spool");
  context->stateFile = stateFile != nullptr ? stateFile : defaultPath(".state", "/var/lib");

  pappl_system_t* system = papplSystemCreate(
      serverOptions(cupsGetOption("server-options", numOptions, options)), "Label Printer App",
      port != nullptr ? std::atoi(port) : 0, "_print,_universal", spoolDir.c_str(),
      logFile != nullptr ? logFile : "-", logLevel(cupsGetOption("log-level", numOptions, options)),
      authService, false);
  if (system == nullptr)
    return nullptr;

  // Localhost unless told otherwise; "*" listens on every address.
  const char* where = listen == nullptr ? "localhost" : std::strcmp(listen, "*") == 0 ? nullptr : listen;
  papplSystemAddListeners(system, where);
  if (hostname != nullptr)
    papplSystemSetHostName(system, hostname);
  if (adminGroup != nullptr)
    papplSystemSetAdminGroup(system, adminGroup);

  papplSystemSetFooterHTML(system, kFooter);
  pappl_version_t version;
  std::memset(&version, 0, sizeof version);
  std::snprintf(version.name, sizeof version.name, "%s", kBaseName);
  std::snprintf(version.sversion, sizeof version.sversion, "%s", kVersion);
  version.version[0] = 1;
  papplSystemSetVersions(system, 1, &version);

  pappl_pr_driver_t* drivers = driverList();
  papplSystemSetPrinterDrivers(system, static_cast<int>(std::size(kDrivers)), drivers, autoAdd,
                               createCallback, driverCallback, context);
  papplSystemSetMIMECallback(system, sniffFormat, nullptr);
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", filterPdf, nullptr);
  // PAPPL looks for a filter to the printer's own format before one to raster, so these
  // come before its built-in PNG reader, which never returns on some cut files.
  papplSystemAddMIMEFilter(system, "image/png", kZplFormat, filterPng, nullptr);
  papplSystemAddMIMEFilter(system, "image/png", kDplFormat, filterPng, nullptr);

  if (authService == nullptr)
    papplSystemSetAuthCallback(system, "Basic", localOnly, nullptr);

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
  pappl_pr_driver_t* drivers = driverList();
  return papplMainloop(argc, argv, kVersion, kFooter, static_cast<int>(std::size(kDrivers)),
                       drivers, autoAdd, driverCallback, nullptr, nullptr, systemCallback,
                       nullptr, &context);
}

}  // namespace app

// libpappl's job processors, replaced (see "Taking jobs").  PAPPL 1.3 only: the build
// defines LABEL_APP_TAKES_JOBS for the PAPPL whose internals these names were checked on.
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
