// job.cpp: printing a job: PAPPL's raster callbacks onto the job writer, documents drawn
// and printed, raw jobs passed through.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "glue.h"
#include "jobpreview.h"
#include "jobwriter.h"
#include "renderclient.h"
#include "sniff.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace app {

namespace {

// Where a job's bytes go: the device.  A cancelled job still writes what the encoder sends
// after the cancel (the rest of a graphic download in flight, the end of a DPL label), so
// that the printer is never left inside a half label; the encoder itself starts nothing new.
struct DeviceSink {
  pappl_device_t* device = nullptr;
  JobCapture capture;  // the bytes sent, for the preview page
};

int writeDevice(void* context, const unsigned char* data, std::size_t length)
{
  auto* sink = static_cast<DeviceSink*>(context);
  ssize_t written = papplDeviceWrite(sink->device, data, length);
  if (written > 0)
    captureBytes(sink->capture, data, static_cast<std::size_t>(written));
  return written == static_cast<ssize_t>(length) ? 0 : EIO;
}

// One job as the raster callbacks see it, from startJob to endJob (PAPPL's job data).
struct AppJob {
  JobWriter writer;
  DeviceSink sink;
  std::unique_lock<std::mutex> turn;  // the printer's device, held from start to end
};

AppJob* appJob(pappl_job_t* job)
{
  return static_cast<AppJob*>(papplJobGetData(job));
}

// Takes the job's record back from PAPPL, to be destroyed with the returned pointer.
std::unique_ptr<AppJob> releaseJob(pappl_job_t* job)
{
  std::unique_ptr<AppJob> state(appJob(job));
  papplJobSetData(job, nullptr);
  return state;
}

// Passes a cancel of the job on to its encoder.
void noteCancel(pappl_job_t* job, AppJob& state)
{
  if (papplJobIsCanceled(job))
    requestCancel(state.writer);
}

// Puts a job that has ended on its printer's preview shelf.  A preview lost for want of
// memory does not fail the job.
void keepPreview(pappl_job_t* job, JobCapture& capture, bool failed)
{
  pappl_printer_t* printer = papplJobGetPrinter(job);
  std::shared_ptr<PrinterState> state = stateOf(printer);
  if (!state)
    return;
  try {
    KeptJob kept;
    kept.id = papplJobGetID(job);
    const char* name = papplJobGetName(job);
    kept.name = name != nullptr ? name : "";
    kept.dpi = printerDpi(printer);
    // The media a raw ZPL job without a label size is drawn on in its preview.
    pappl_pr_driver_data_t data;
    if (papplPrinterGetDriverData(printer, &data) && data.media_default.size_width > 0 &&
        data.media_default.size_length > 0) {
      kept.mediaWidth = static_cast<int>(std::lround(data.media_default.size_width * kept.dpi / 2540.0));
      kept.mediaHeight = static_cast<int>(std::lround(data.media_default.size_length * kept.dpi / 2540.0));
    }
    kept.failed = failed || papplJobIsCanceled(job);
    kept.total = capture.total;
    kept.tooLarge = capture.tooLarge;
    kept.bytes = std::move(capture.bytes);
    keepJob(state->previews, std::move(kept));
  } catch (const std::exception& e) {
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "No preview of the job: %s", e.what());
  }
}

Status pageResult(pappl_job_t* job, AppJob& state, Status status)
{
  if (status == Status::failed)
    failJob(job, jobError(state.writer));
  return status;
}

}  // namespace

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

  pappl_printer_t* printer = papplJobGetPrinter(job);
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  values.mode = data.mode_configured == PAPPL_LABEL_MODE_REWIND    ? LabelMode::rewind
                : data.mode_configured == PAPPL_LABEL_MODE_PEEL_OFF ? LabelMode::peelOff
                : data.mode_configured == PAPPL_LABEL_MODE_CUTTER   ? LabelMode::cutter
                                                                    : LabelMode::tearOff;
  values.tearOffset = data.tear_offset_configured;
  // The vendor attributes: the job's own, else the printer's default.  (PAPPL 1.3.1 leaves
  // the defaults out of options->vendor.)
  ipp_t* driverAttrs = papplPrinterGetDriverAttributes(printer);
  VendorTable table = vendorOptions(printerLanguage(printer));
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

// ---------------------------------------------------------------------------------------------
// The raster callbacks

bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device)
{
  auto state = std::make_unique<AppJob>();
  auto turn = printerTurn(job);
  if (!turn)
    return false;
  state->turn = std::move(*turn);
  state->sink.device = device;
  int dpi = static_cast<int>(options->header.HWResolution[0]);
  startJob(state->writer, printerLanguage(papplJobGetPrinter(job)), jobValues(job, options), dpi,
           ByteSink{writeDevice, &state->sink});
  papplJobSetData(job, state.release());
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
  return pageResult(job, *state, startPage(state->writer, page)) == Status::ok;
}

bool writeLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned, const unsigned char* line)
{
  AppJob* state = appJob(job);
  if (state == nullptr)
    return false;
  noteCancel(job, *state);
  writeRow(state->writer, line);
  return true;
}

bool endPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned)
{
  AppJob* state = appJob(job);
  if (state == nullptr)
    return false;
  noteCancel(job, *state);
  return pageResult(job, *state, finishPage(state->writer)) == Status::ok;
}

bool endJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*)
{
  std::unique_ptr<AppJob> state = releaseJob(job);
  if (!state)
    return false;
  noteCancel(job, *state);
  Status status = finishJob(state->writer);
  keepPreview(job, state->sink.capture, status != Status::ok);
  if (status == Status::failed)
    return failJob(job, jobError(state->writer));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Documents

namespace {

using PrintOptions = std::unique_ptr<pappl_pr_options_t, decltype(&papplJobDeletePrintOptions)>;

// True unless the job, or the printer's setting, keeps pages whole (label-crop-page).
bool cropsPages(pappl_job_t* job)
{
  ipp_attribute_t* attr = papplJobGetAttribute(job, kCropPageOption);
  if (attr != nullptr)
    return ippGetBoolean(attr, 0) != 0;
  ipp_t* driverAttrs = papplPrinterGetDriverAttributes(papplJobGetPrinter(job));
  bool crop = true;
  if (driverAttrs != nullptr) {
    attr = ippFindAttribute(driverAttrs, (std::string(kCropPageOption) + "-default").c_str(), IPP_TAG_BOOLEAN);
    if (attr != nullptr)
      crop = ippGetBoolean(attr, 0) != 0;
    ippDelete(driverAttrs);
  }
  return crop;
}

// How the job's pages go on the label: its print-scaling and orientation-requested, and the
// printer's setting for looking for labels on larger pages.  orientation-requested counts
// only when the job asks for it: with the printer's default the renderer turns pages itself.
PlaceOptions placeOptions(pappl_job_t* job, const pappl_pr_options_t& options)
{
  PlaceOptions place;
  switch (options.print_scaling) {
    case PAPPL_SCALING_AUTO_FIT:
      place.scaling = Scaling::autoFit;
      break;
    case PAPPL_SCALING_FIT:
      place.scaling = Scaling::fit;
      break;
    case PAPPL_SCALING_FILL:
      place.scaling = Scaling::fill;
      break;
    case PAPPL_SCALING_NONE:
      place.scaling = Scaling::none;
      break;
    default:
      place.scaling = Scaling::automatic;
  }
  if (papplJobGetAttribute(job, "orientation-requested") != nullptr &&
      options.orientation_requested >= IPP_ORIENT_PORTRAIT &&
      options.orientation_requested <= IPP_ORIENT_REVERSE_PORTRAIT)
    place.orientation = static_cast<int>(options.orientation_requested);
  // A page the renderer turns by itself turns the way the printer's default orientation
  // reads: clockwise for reverse-landscape, else counter-clockwise as landscape.
  if (place.orientation == 0 && options.orientation_requested == IPP_ORIENT_REVERSE_LANDSCAPE)
    place.autoTurn = 90;
  place.crop = cropsPages(job);
  return place;
}

// A document (PDF, PNG, JPEG): drawn by the renderer, a process of its own under the server's
// limits (renderclient.h), each page printed through the raster callbacks as it comes.  A
// renderer that fails, runs out of memory or time ends the job with its reason; a cancel, or
// the server stopping, ends the renderer at once and the label in flight whole.
bool printDocument(pappl_job_t* job, pappl_device_t* device, DocumentFormat format)
{
  const char* filename = papplJobGetFilename(job);
  pappl_printer_t* printer = papplJobGetPrinter(job);
  AppContext* context = appContext(printer);
  if (filename == nullptr || context == nullptr)
    return failJob(job, "The job has no document");
  // The page count comes from the renderer: the options are made for a count not yet known.
  PrintOptions options(papplJobCreatePrintOptions(job, 0, false), papplJobDeletePrintOptions);
  if (!options)
    return failJob(job, "The job's options cannot be read");
  int dpi = static_cast<int>(options->header.HWResolution[0]);
  RenderRequest request;
  request.format = format;
  request.path = filename;
  request.dpi = dpi;
  request.width = options->header.cupsWidth;
  request.height = options->header.cupsHeight;
  request.place = placeOptions(job, *options);
  if (format == DocumentFormat::pdf) {
    request.firstPage = static_cast<int>(std::max(1u, options->first_page));
    request.lastPage = static_cast<int>(std::min<unsigned>(options->last_page, INT_MAX));
  } else if (format == DocumentFormat::zpl) {
    request.firstPage = 1;  // a ZPL job prints every label it makes, as a ZPL printer would
    request.lastPage = INT_MAX;
  } else {
    request.firstPage = request.lastPage = 1;  // an image is one label, whatever the ranges say
  }

  if (!startJob(job, options.get(), device))
    return false;
  AppJob* state = appJob(job);
  // From here a SIGTERM is noted for this job (see serverStopping), before the renderer runs.
  serverStopping();
  auto cancelled = [&] { return papplJobIsCanceled(job); };
  RenderCallbacks callbacks;
  // What was done to place a page shows as the job's message, and in its log.
  callbacks.note = [&](int number, const std::string& note) {
    papplJobSetMessage(job, "%s", note.c_str());
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Page %d: %s", number, note.c_str());
  };
  callbacks.canceled = [&] { return cancelled() || serverStopping(); };
  int impressions = 0, labels = 0;
  callbacks.document = [&](int pages, int, int) {
    impressions = format == DocumentFormat::png || format == DocumentFormat::jpeg ? 1 : pages;
    papplJobSetImpressions(job, impressions);
    return true;
  };
  // A DPL job has one label size, its first label's.  A ZPL job's smaller label prints on it
  // from the top left corner, as a ZPL printer prints a short format on a longer label; a
  // larger one would run over into the next label, so the job stops there with the reason.
  bool oneSize = format == DocumentFormat::zpl && state->writer.language == Language::dpl;
  unsigned firstWidth = 0, firstHeight = 0;
  LabelBitmap padded;
  callbacks.page = [&](int, const LabelBitmap& drawn) {
    const LabelBitmap* page = &drawn;
    if (oneSize && labels == 0) {
      firstWidth = drawn.width;
      firstHeight = drawn.height;
    } else if (oneSize && (drawn.width != firstWidth || drawn.height != firstHeight)) {
      if (!padToLabel(drawn, firstWidth, firstHeight, padded)) {
        failJob(job, "Label " + std::to_string(labels + 1) + " is " + std::to_string(drawn.width) +
                         " x " + std::to_string(drawn.height) + " dots, larger than the job's first label (" +
                         std::to_string(firstWidth) + " x " + std::to_string(firstHeight) +
                         " dots): a DPL printer takes one label size a job, so send labels of each size "
                         "as a job of their own");
        return false;
      }
      page = &padded;
    }
    if (cancelled() || pageResult(job, *state, writeBitmap(state->writer, *page, dpi, cancelled)) != Status::ok)
      return false;
    // A sheet of several labels prints more labels than the document has pages.
    if (++labels > impressions)
      papplJobSetImpressions(job, impressions = labels);
    papplJobSetImpressionsCompleted(job, 1);
    return true;
  };
  RenderResult result = renderDocument(request, context->renderer, callbacks);

  bool ok = true;
  switch (result.status) {
    case RenderStatus::ok:
      break;
    case RenderStatus::canceled:
      if (!cancelled())  // the server is stopping: the job did not print whole
        ok = failJob(job, "The server stopped while the document was drawn");
      break;
    case RenderStatus::stopped:  // a cancel, or the printer failed (said already)
      ok = cancelled();
      break;
    default:
      if (!result.log.empty())
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Renderer: %s", result.log.c_str());
      ok = failJob(job, result.reason);
  }
  return endJob(job, options.get(), device) && ok;
}

}  // namespace

namespace {

// Whether the job's file starts as a ZPL II job does.
bool fileIsZpl(const char* filename)
{
  if (filename == nullptr)
    return false;
  int fd = open(filename, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  unsigned char start[4096];
  ssize_t n = read(fd, start, sizeof start);
  close(fd);
  return n > 0 && sniffRaw(start, static_cast<std::size_t>(n)) == Sniffed::zpl;
}

}  // namespace

// A document filter (PDF, PNG, JPEG, and ZPL II for a DPL printer); no C++ exception (out of
// memory, most likely) may unwind into PAPPL's C code, so one ends the job as failed.
bool filterDocument(pappl_job_t* job, pappl_device_t* device, void*)
{
  try {
    const char* format = papplJobGetFormat(job);
    DocumentFormat kind = DocumentFormat::pdf;
    if (format != nullptr && std::strcmp(format, "image/png") == 0)
      kind = DocumentFormat::png;
    else if (format != nullptr && std::strcmp(format, "image/jpeg") == 0)
      kind = DocumentFormat::jpeg;
    else if ((format != nullptr && std::strcmp(format, kZplFormat) == 0) ||
             ((format == nullptr || std::strcmp(format, "application/pdf") != 0) &&
              fileIsZpl(papplJobGetFilename(job))))
      kind = DocumentFormat::zpl;
    return printDocument(job, device, kind);
  } catch (const std::exception& e) {
    releaseJob(job);
    return failJob(job, std::string("The document cannot be printed: ") + e.what());
  }
}

// ---------------------------------------------------------------------------------------------
// Raw jobs

namespace {

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

}  // namespace

// Raw ZPL or DPL: copied to the printer unchanged, once its start shows it is in the
// printer's language.  A DPL printer given ZPL II prints it drawn, as a document.
bool printRaw(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device)
{
  if (printerLanguage(papplJobGetPrinter(job)) == Language::dpl && fileIsZpl(papplJobGetFilename(job))) {
    try {
      return printDocument(job, device, DocumentFormat::zpl);
    } catch (const std::exception& e) {
      releaseJob(job);
      return failJob(job, std::string("The document cannot be printed: ") + e.what());
    }
  }
  auto turn = printerTurn(job);
  if (!turn)
    return false;
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
      if (const char* refusal = rawJobRefusal(buffer, static_cast<std::size_t>(n),
                                              printerLanguage(papplJobGetPrinter(job)))) {
        ok = failJob(job, refusal);
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
  return rawFormat(header, size);
}

}  // namespace app
