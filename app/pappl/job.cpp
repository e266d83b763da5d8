// job.cpp: printing a job: PAPPL's raster callbacks onto the job writer, documents drawn
// and printed, raw jobs passed through.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "glue.h"
#include "jobpreview.h"
#include "jobwriter.h"
#include "pdfraster.h"
#include "sniff.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
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
  state->turn = printerTurn(job);
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

// Prints label bitmaps as the job's pages, through the same callbacks as raster jobs.
bool printBitmaps(pappl_job_t* job, pappl_device_t* device, pappl_pr_options_t* options,
                  const std::vector<LabelBitmap>& pages)
{
  bool ok = startJob(job, options, device);
  AppJob* state = appJob(job);
  int dpi = static_cast<int>(options->header.HWResolution[0]);
  for (const LabelBitmap& page : pages) {
    if (!ok || papplJobIsCanceled(job))
      break;
    ok = pageResult(job, *state, writeBitmap(state->writer, page, dpi, [&] { return papplJobIsCanceled(job); })) ==
         Status::ok;
    if (ok)
      papplJobSetImpressionsCompleted(job, 1);
  }
  return endJob(job, options, device) && ok;
}

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
  AppJob* state = appJob(job);
  for (int number = first; ok && number <= last && !papplJobIsCanceled(job); number++) {
    LabelBitmap page;
    if (!renderPdfPage(*pdf, number - 1, dpi, options->header.cupsWidth, options->header.cupsHeight, page, error)) {
      ok = failJob(job, error);
      break;
    }
    ok = pageResult(job, *state, writeBitmap(state->writer, page, dpi, [&] { return papplJobIsCanceled(job); })) ==
         Status::ok;
    if (ok)
      papplJobSetImpressionsCompleted(job, 1);
  }
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

}  // namespace

// A document filter (PDF, PNG); no C++ exception (out of memory, most likely) may unwind into
// PAPPL's C code, so one ends the job as failed.
bool filterDocument(pappl_job_t* job, pappl_device_t* device, void*)
{
  try {
    const char* format = papplJobGetFormat(job);
    if (format != nullptr && std::strcmp(format, "image/png") == 0)
      return printPng(job, device);
    return printPdf(job, device);
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
// printer's language.
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
