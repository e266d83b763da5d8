// renderer.cpp: a PDF, PNG or JPEG document drawn page by page onto the stream to the parent.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "renderer.h"

#include "imagefile.h"
#include "labelbitmap.h"
#include "pdfraster.h"
#include "placement.h"
#include "previewdrawing.h"
#include "zplrender.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <exception>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace app {

namespace {

// Images are read whole before they are decoded; larger files are refused.
constexpr std::size_t kImageFileLimit = 64u << 20;

// The same for ZPL II jobs and the label font; and the most labels one ZPL job may print.
constexpr std::size_t kZplFileLimit = 64u << 20;
constexpr std::size_t kFontFileLimit = 16u << 20;
constexpr int kZplLabelLimit = 1000;

bool writeAll(int fd, const unsigned char* data, std::size_t length)
{
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes a record of its tag and the given numbers.
template <std::size_t N>
bool writeRecord(int fd, std::uint32_t tag, const std::uint32_t (&words)[N])
{
  unsigned char bytes[4 * (N + 1)];
  putWord(bytes, tag);
  for (std::size_t i = 0; i < N; i++)
    putWord(bytes + 4 * (i + 1), words[i]);
  return writeAll(fd, bytes, sizeof bytes);
}

// The last record; the exit status that goes with it.  Needs no memory, so it can still be
// written when an allocation has just failed.
int finish(int out, StreamOutcome outcome, const char* text, std::size_t length)
{
  length = std::min(length, kStreamTextLimit);
  bool written = writeRecord(out, kDoneTag, {static_cast<std::uint32_t>(outcome),
                                             static_cast<std::uint32_t>(length)}) &&
                 writeAll(out, reinterpret_cast<const unsigned char*>(text), length);
  (void)written;  // a parent that stopped reading has gone; the exit status still says it
  return outcome == StreamOutcome::done     ? kExitDone
         : outcome == StreamOutcome::failed ? kExitFailed
                                            : kExitNoMemory;
}

int fail(int out, const std::string& reason)
{
  return finish(out, StreamOutcome::failed, reason.data(), reason.size());
}

int outOfMemory(int out)
{
  return finish(out, StreamOutcome::noMemory, "", 0);
}

bool refused(const RenderJob& job)
{
  return job.allocationRefused != nullptr && job.allocationRefused();
}

// Reads a descriptor to its end; false when it cannot be read or holds more than `limit`.
bool readAll(int fd, std::size_t limit, std::vector<char>& data)
{
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    if (static_cast<unsigned long long>(info.st_size) > limit)
      return false;
    data.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    if (static_cast<std::size_t>(n) > limit - data.size())
      return false;
    data.insert(data.end(), buffer, buffer + n);
  }
}

// Reads the job's document, from its path or its input descriptor.
bool readDocument(const RenderJob& job, std::size_t limit, std::vector<char>& data)
{
  if (job.path.empty())
    return readAll(job.input, limit, data);
  int fd = open(job.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool ok = readAll(fd, limit, data);
  close(fd);
  return ok;
}

// Sends one page: its record, then its rows.
bool writePage(int out, int number, const LabelBitmap& page)
{
  return writeRecord(out, kPageTag, {static_cast<std::uint32_t>(number), page.width,
                                     page.height, page.bytesPerLine}) &&
         writeAll(out, page.bits.data(), page.bits.size());
}

// Sends what was done to place a page, for the job's message.
bool writeNote(int out, int number, const std::string& text)
{
  std::size_t length = std::min(text.size(), kStreamTextLimit);
  return writeRecord(out, kNoteTag, {static_cast<std::uint32_t>(number),
                                     static_cast<std::uint32_t>(length)}) &&
         writeAll(out, reinterpret_cast<const unsigned char*>(text.data()), length);
}

// The preview a page is searched on: about this many dots an inch, and at most this many on
// its longer side.
constexpr double kPreviewPerInch = 50;
constexpr double kPreviewSide = 1600;

// Office sheets, by their sides in inches: an image of a sheet's shape (for a label of another
// shape) is taken as a scan or export of that sheet, whatever its resolution.
constexpr double kSheets[][2] = {{8.5, 11}, {8.268, 11.693}, {8.5, 14}};

// What an image is as a page: its pixels at the printer's resolution, or a sheet of paper.
PageShape imageShape(const GreyImage& image, const RenderJob& job)
{
  PageShape shape{double(image.width), double(image.height), double(job.dpi), true};
  double small = std::min(image.width, image.height), large = std::max(image.width, image.height);
  double labelShape = double(std::max(job.width, job.height)) / std::min(job.width, job.height);
  for (const auto& sheet : kSheets) {
    double shape_ = sheet[1] / sheet[0];
    // The sheet's shape, and not the label's own (a label of that shape is printed as it is).
    if (std::fabs(large / small - shape_) < 0.01 && std::fabs(labelShape - shape_) > 0.05)
      shape.unitsPerInch = small / sheet[0];
  }
  return shape;
}

// The image made smaller by keeping the darkest pixel of each square of `step` pixels, so thin
// lines stay in the preview.
std::vector<unsigned char> shrinkImage(const GreyImage& image, unsigned step, unsigned& width,
                                       unsigned& height)
{
  width = (image.width + step - 1) / step;
  height = (image.height + step - 1) / step;
  std::vector<unsigned char> out(static_cast<std::size_t>(width) * height, 255);
  for (unsigned y = 0; y < image.height; y++) {
    const unsigned char* row = image.pixels.data() + static_cast<std::size_t>(y) * image.width;
    unsigned char* to = out.data() + static_cast<std::size_t>(y / step) * width;
    for (unsigned x = 0; x < image.width; x++)
      to[x / step] = std::min(to[x / step], row[x]);
  }
  return out;
}

// The window of an image a label shows, at the label's scale (nearest pixel; white off the
// image).
void sampleImage(const GreyImage& image, const LabelPlace& place, const LabelWindow& frame,
                 std::vector<unsigned char>& window)
{
  window.assign(static_cast<std::size_t>(frame.width) * frame.height, 255);
  std::vector<long> column(frame.width);
  for (unsigned x = 0; x < frame.width; x++)
    column[x] = static_cast<long>(std::floor((frame.x + x + 0.5) / place.scale));
  for (unsigned y = 0; y < frame.height; y++) {
    auto row = static_cast<long>(std::floor((frame.y + y + 0.5) / place.scale));
    if (row < 0 || row >= static_cast<long>(image.height))
      continue;
    const unsigned char* from = image.pixels.data() + static_cast<std::size_t>(row) * image.width;
    unsigned char* to = window.data() + static_cast<std::size_t>(y) * frame.width;
    for (unsigned x = 0; x < frame.width; x++)
      if (column[x] >= 0 && column[x] < static_cast<long>(image.width))
        to[x] = from[column[x]];
  }
}

// A ZPL II job, drawn twice: once to count its labels (the document's record gives their
// count) and once to send each as it is drawn, as a page of its own size, so that a job of
// many labels needs the memory of one.  What the job holds that is not drawn goes in the
// first label's note.  A job that would print nothing, or more labels than a job may, is
// refused: printing part of it, or nothing, would look like success.
int drawZpl(const RenderJob& job, int out)
{
  std::vector<char> file, font;
  if (!readDocument(job, kZplFileLimit, file))
    return refused(job) ? outOfMemory(out) : fail(out, "The ZPL II job cannot be read or is too large");
  RenderJob fontFile;
  fontFile.path = zplrender::kLabelFontPath;
  std::string error;
  std::shared_ptr<zplrender::LabelFont> face;
  if (readDocument(fontFile, kFontFileLimit, font))
    face = zplrender::loadLabelFont(std::vector<std::uint8_t>(font.begin(), font.end()), error);
  else
    error = "it cannot be read";
  if (refused(job))
    return outOfMemory(out);
  if (!face)
    return fail(out, std::string("The label font ") + zplrender::kLabelFontPath +
                         " is missing (" + error + "): the ZPL II job's text cannot be drawn");
  std::vector<char>().swap(font);

  zplrender::Options options;
  options.dpi = job.dpi;
  options.mediaWidth = static_cast<int>(job.width);
  options.mediaHeight = static_cast<int>(job.height);
  options.font = face;
  options.limits.maxLabelBytes = kZplLabelBytes;
  options.limits.maxLabels = kZplLabelLimit + 1;  // one more tells that there are too many
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(file.data()), file.size());

  zplrender::Result counted;
  int pages = 0;
  bool drawn = zplrender::renderZpl(bytes, options, counted,
                                    [&](zplrender::Label&, int) { return ++pages <= kZplLabelLimit; });
  if (refused(job))
    return outOfMemory(out);
  if (!drawn)
    return fail(out, "The ZPL II job cannot be printed (byte " + std::to_string(counted.errorOffset) +
                         "): " + counted.error);
  if (pages == 0)
    return fail(out, "The ZPL II job prints no label");
  if (pages > kZplLabelLimit)
    return fail(out, "The ZPL II job prints more than " + std::to_string(kZplLabelLimit) +
                         " labels (copies and serial numbers included)");

  int first = std::max(1, job.firstPage), last = std::min(pages, job.lastPage);
  if (!writeRecord(out, kDocumentTag, {static_cast<std::uint32_t>(pages),
                                       static_cast<std::uint32_t>(first),
                                       static_cast<std::uint32_t>(std::max(last, 0))}))
    return kExitFailed;
  if (first <= last && !counted.notes.empty()) {
    std::string note = "ZPL II job: ";
    for (std::size_t i = 0; i < counted.notes.size(); i++)
      note += (i > 0 ? "; " : "") + counted.notes[i];
    if (!writeNote(out, first, note))
      return kExitFailed;
  }

  LabelBitmap label;
  int sent = 0;
  bool written = true;
  std::string damaged;
  zplrender::Result result;
  drawn = zplrender::renderZpl(bytes, options, result, [&](zplrender::Label& drawnLabel, int) {
    int number = ++sent;
    if (number < first)
      return true;
    if (number > last)
      return false;
    zplrender::Bitmap& image = drawnLabel.image;
    label.width = static_cast<unsigned>(image.width);
    label.height = static_cast<unsigned>(image.height);
    label.bytesPerLine = (label.width + 7) / 8;
    if (image.rowBytes < label.bytesPerLine || image.bits.size() < image.rowBytes * label.height) {
      damaged = "The ZPL II job's label " + std::to_string(number) + " was drawn damaged";
      return false;
    }
    if (image.rowBytes == label.bytesPerLine) {
      label.bits.swap(image.bits);
    } else {
      label.bits.assign(std::size_t{label.bytesPerLine} * label.height, 0);
      for (unsigned y = 0; y < label.height; y++)
        std::copy_n(image.bits.begin() + static_cast<std::ptrdiff_t>(y * image.rowBytes), label.bytesPerLine,
                    label.bits.begin() + static_cast<std::ptrdiff_t>(y * label.bytesPerLine));
    }
    written = writePage(out, number, label);
    return written;
  });
  if (!written)
    return kExitFailed;
  if (refused(job))
    return outOfMemory(out);
  if (!damaged.empty())
    return fail(out, damaged);
  if (!drawn || sent < last)
    return fail(out, "The ZPL II job was drawn differently the second time" +
                         (result.error.empty() ? std::string() : ": " + result.error));
  return finish(out, StreamOutcome::done, "", 0);
}

// The document's pages from first to last: the document's record, then each page's note and
// labels as they are drawn.  Returns the exit status, after the last record.
int drawDocument(const RenderJob& job, int out)
{
  if (job.format == DocumentFormat::zpl)
    return drawZpl(job, out);
  PdfPtr pdf;
  std::vector<char> file;
  GreyImage image;
  std::string error;
  int pages = 1;
  if (job.format == DocumentFormat::pdf) {
    // Poppler reads a file in place; a document on a pipe is read into memory first.
    if (!job.path.empty())
      pdf = openPdf(job.path, error);
    else if (readAll(job.input, SIZE_MAX, file))
      pdf = openPdfData(std::move(file), error);
    else
      error = "The PDF file cannot be read";
    if (refused(job))
      return outOfMemory(out);
    if (!pdf)
      return fail(out, error);
    pages = pdfPageCount(*pdf);
  } else if (!readDocument(job, kImageFileLimit, file)) {
    return refused(job) ? outOfMemory(out)
                        : fail(out, std::string("The ") + formatName(job.format) +
                                        " file cannot be read or is too large");
  }

  int first = std::max(1, job.firstPage), last = std::min(pages, job.lastPage);
  if (!writeRecord(out, kDocumentTag, {static_cast<std::uint32_t>(std::max(pages, 0)),
                                       static_cast<std::uint32_t>(first),
                                       static_cast<std::uint32_t>(std::max(last, 0))}))
    return kExitFailed;

  if (job.format != DocumentFormat::pdf && first <= last) {
    auto data = reinterpret_cast<const unsigned char*>(file.data());
    bool decoded = job.format == DocumentFormat::png ? decodePng(data, file.size(), image, error)
                                                     : decodeJpeg(data, file.size(), image, error);
    if (refused(job))
      return outOfMemory(out);
    if (!decoded)
      return fail(out, error);
    std::vector<char>().swap(file);
  }

  LabelBitmap label;
  std::vector<unsigned char> preview, window;
  for (int number = first; number <= last; number++) {
    PageShape shape;
    if (pdf) {
      if (!pdfPageSize(*pdf, number - 1, shape.width, shape.height, error))
        return fail(out, error);
    } else {
      shape = imageShape(image, job);
    }
    // A larger page is searched for labels on a small drawing of it.
    GreyView view;
    double previewPerInch = 0;
    if (wantsPreview(shape, job.width, job.height, job.dpi, job.place)) {
      double inchesLong = std::max(shape.width, shape.height) / shape.unitsPerInch;
      previewPerInch = std::min(kPreviewPerInch, kPreviewSide / inchesLong);
      if (pdf) {
        double scale = previewPerInch / shape.unitsPerInch;
        view.width = static_cast<unsigned>(std::lround(shape.width * scale));
        view.height = static_cast<unsigned>(std::lround(shape.height * scale));
        if (!renderPdfArea(*pdf, number - 1, previewPerInch, 0, 0, view.width, view.height, true,
                           preview, error))
          return fail(out, error);
      } else {
        auto step = static_cast<unsigned>(std::max(1.0, std::round(shape.unitsPerInch / previewPerInch)));
        preview = shrinkImage(image, step, view.width, view.height);
        previewPerInch = shape.unitsPerInch / step;
      }
      view.pixels = preview.data();
      view.stride = view.width;
    }
    PagePlan plan = planPage(shape, view.pixels ? &view : nullptr, previewPerInch, job.width,
                             job.height, job.dpi, job.place);
    if (refused(job))
      return outOfMemory(out);
    if (!plan.note.empty() && !writeNote(out, number, plan.note))
      return kExitFailed;
    for (const LabelPlace& place : plan.labels) {
      // Drawn once, at the label's scale, then turned dot for dot and thresholded.
      LabelWindow frame = labelWindow(place, job.width, job.height);
      if (pdf) {
        if (!renderPdfArea(*pdf, number - 1, place.scale * shape.unitsPerInch, frame.x, frame.y,
                           frame.width, frame.height, true, window, error))
          return fail(out, error);
      } else {
        sampleImage(image, place, frame, window);
      }
      placeWindow({window.data(), frame.width, frame.height, frame.width}, frame, place.turn,
                  job.width, job.height, label);
      // A page drawn while an allocation was refused may lack part of the document.
      if (refused(job))
        return outOfMemory(out);
      if (!writePage(out, number, label))
        return kExitFailed;
    }
  }
  return finish(out, StreamOutcome::done, "", 0);
}

// Sends a record of its tag and the length of `bytes`, then the bytes.
bool writeBytes(int out, std::uint32_t tag, const std::string& bytes)
{
  return writeRecord(out, tag, {static_cast<std::uint32_t>(bytes.size())}) &&
         writeAll(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// A kept job for the preview page: its summary, or one label as a PNG.  A job that cannot
// be read is not a failure here: the summary says why, as the page shows it.
int drawPreview(const RenderJob& job, int out)
{
  std::vector<char> file;
  if (!readDocument(job, kZplFileLimit, file))
    return refused(job) ? outOfMemory(out) : fail(out, "the job cannot be read or is too large");
  PreviewTarget target;
  target.dpi = job.dpi;
  target.mediaWidth = static_cast<int>(job.width);
  target.mediaHeight = static_cast<int>(job.height);
  std::string error;
  target.font = readLabelFont(error);  // without it, text is noted and not drawn
  if (refused(job))
    return outOfMemory(out);
  std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(file.data()), file.size());

  if (job.previewLabel == 0) {
    std::string record = encodeSummary(summarizeLabels(bytes, target));
    if (refused(job))
      return outOfMemory(out);
    return writeBytes(out, kSummaryTag, record) ? finish(out, StreamOutcome::done, "", 0) : kExitFailed;
  }
  std::string png;
  bool drawn = drawLabelPng(bytes, target, job.previewLabel, png, error);
  if (refused(job))
    return outOfMemory(out);
  if (!drawn)
    return fail(out, error);
  if (png.size() > kPreviewPngLimit)
    return fail(out, "the label's image is too large to show (" + std::to_string(png.size()) + " bytes)");
  return writeBytes(out, kPngTag, png) ? finish(out, StreamOutcome::done, "", 0) : kExitFailed;
}

// A whole number in [low, high], all of `text`.
bool parseNumber(const char* text, long low, long high, long& value)
{
  std::string_view view(text);
  auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
  return error == std::errc() && end == view.data() + view.size() && value >= low && value <= high;
}

}  // namespace

bool parseRenderArguments(int argc, const char* const* argv, RenderJob& job, std::string& error)
{
  error = "usage: label-render [--scaling=auto|auto-fit|fit|fill|none] [--orientation=3..6] "
          "[--auto-turn=90|270] [--no-crop] pdf|png|jpeg|zpl DPI WIDTH HEIGHT FIRST LAST [FILE]\n"
          "       label-render preview DPI WIDTH HEIGHT LABEL [FILE]";
  // The placement options come first, each at most once.
  int at = 1;
  bool scaling = false, orientation = false, noCrop = false, turn = false;
  for (; at < argc && std::string_view(argv[at]).substr(0, 2) == "--"; at++) {
    std::string_view option(argv[at]);
    long value;
    if (option.substr(0, 10) == "--scaling=" && !scaling) {
      std::optional<Scaling> parsed = parseScaling(option.substr(10));
      if (!parsed)
        return false;
      job.place.scaling = *parsed;
      scaling = true;
    } else if (option.substr(0, 14) == "--orientation=" && !orientation &&
               parseNumber(argv[at] + 14, 3, 6, value)) {
      job.place.orientation = static_cast<int>(value);
      orientation = true;
    } else if (option.substr(0, 12) == "--auto-turn=" && !turn &&
               (option.substr(12) == "90" || option.substr(12) == "270")) {
      job.place.autoTurn = option.substr(12) == "90" ? 90 : 270;
      turn = true;
    } else if (option == "--no-crop" && !noCrop) {
      job.place.crop = false;
      noCrop = true;
    } else {
      return false;
    }
  }
  argc -= at - 1;
  argv += at - 1;
  if (at == 1 && argc >= 2 && std::string_view(argv[1]) == "preview") {
    long dpi, width, height, label;
    if ((argc != 6 && argc != 7) || !parseNumber(argv[2], 1, kDpiLimit, dpi) ||
        !parseNumber(argv[3], 0, kLabelSideLimit, width) ||
        !parseNumber(argv[4], 0, kLabelSideLimit, height) ||
        !parseNumber(argv[5], 0, kPreviewLabels, label) || (argc == 7 && argv[6][0] == '\0'))
      return false;
    job.format = DocumentFormat::zpl;
    job.dpi = static_cast<int>(dpi);
    job.width = static_cast<unsigned>(width);
    job.height = static_cast<unsigned>(height);
    job.previewLabel = static_cast<int>(label);
    job.path = argc == 7 ? argv[6] : "";
    error.clear();
    return true;
  }
  if (argc != 7 && argc != 8)
    return false;
  std::optional<DocumentFormat> format = parseFormat(argv[1]);
  long dpi, width, height, first, last;
  if (!format || !parseNumber(argv[2], 1, kDpiLimit, dpi) ||
      !parseNumber(argv[3], 1, kLabelSideLimit, width) ||
      !parseNumber(argv[4], 1, kLabelSideLimit, height) ||
      !parseNumber(argv[5], 1, INT_MAX, first) || !parseNumber(argv[6], 1, INT_MAX, last))
    return false;
  job.format = *format;
  job.dpi = static_cast<int>(dpi);
  job.width = static_cast<unsigned>(width);
  job.height = static_cast<unsigned>(height);
  job.firstPage = static_cast<int>(first);
  job.lastPage = static_cast<int>(last);
  job.path = argc == 8 ? argv[7] : "";
  if (argc == 8 && job.path.empty())
    return false;
  error.clear();
  return true;
}

int writeRenderStream(const RenderJob& job, int out)
{
  unsigned char start[8];
  putWord(start, kStreamMagic);
  putWord(start + 4, kStreamVersion);
  if (!writeAll(out, start, sizeof start))
    return kExitFailed;
  // Memory runs out inside a decoder or in our own buffers; either way the parent hears it as
  // such, with no allocation needed to say so.
  try {
    return job.previewLabel >= 0 ? drawPreview(job, out) : drawDocument(job, out);
  } catch (const std::bad_alloc&) {
    return outOfMemory(out);
  } catch (const std::exception& e) {
    return fail(out, std::string("The document cannot be drawn: ") + e.what());
  }
}

}  // namespace app
