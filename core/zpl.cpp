// zpl.cpp: the ZPL II job encoder: command tables, job preamble, label formats, pages.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "zpl.h"

#include "DataComDecompress.h"
#include "GRFDataZ64.h"
#include "command.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

using namespace std::literals;

namespace zpl {

namespace {

// Every byte the filter can send, before the logic that picks among them.

// Control prefix, delimiter and format prefix set to tilde, comma and caret.
constexpr command btChangeCmmd = makeCommand("\020CT~~CD,~CC^~CT~"sv);
static_assert(btChangeCmmd.length == 16);

constexpr command btStartFormat = makeCommand("^XA"sv);
constexpr command btEndFormat = makeCommand("^XZ"sv);
constexpr command btAdjustTearoff = makeCommand("~TA000"sv);
constexpr command btBackFeed = makeCommand("~JSN"sv);
constexpr command btAdjustTop = makeCommand("^LT0"sv);
constexpr command btLabelHome = makeCommand("^LH0,0"sv);
constexpr command btResolution = makeCommand("^JMA"sv);
constexpr command btUpdateConfig = makeCommand("^JUS"sv);
constexpr command btInterFont = makeCommand("^CI0"sv);
constexpr command btAdjustPosition = makeCommand("^LS0"sv);
constexpr command btMagnify = makeCommand("^XG000.GRF,1,1"sv);
constexpr command btFieldSeparate = makeCommand("^FS"sv);
constexpr command btDelete = makeCommand("^ID000.GRF"sv);
constexpr command btPause_No = makeCommand("^PQ1,0,1,Y"sv);
constexpr command btPause_AfterJob = makeCommand("^PQ1,0,1,Y^PP"sv);
constexpr command btPause_AfterLabel = makeCommand("^PQ1,1,1,N"sv);

constexpr command btInverse[] = {makeCommand("^LRN"sv), makeCommand("^LRY"sv)};

constexpr command btPaperType[] = {
    makeCommand("^MNN"sv),  // continuous media
    makeCommand("^MNM"sv),  // mark sensing
    makeCommand("^MNW"sv),  // web (gap) sensing
};

constexpr command btThermal[] = {
    emptyCommand,
    makeCommand("^MTD"sv),  // direct thermal
    makeCommand("^MTT"sv),  // thermal transfer
};

constexpr command btRote180[] = {makeCommand("^PON"sv), makeCommand("^POI"sv)};
constexpr command btMirror[] = {makeCommand("^PMN"sv), makeCommand("^PMY"sv)};

constexpr command btSpeed[] = {
    emptyCommand,           makeCommand("^PR2,2"sv),   makeCommand("^PR3,3"sv),
    makeCommand("^PR4,4"sv), makeCommand("^PR5,5"sv),   makeCommand("^PR6,6"sv),
    makeCommand("^PR7,7"sv), makeCommand("^PR8,8"sv),   makeCommand("^PR9,9"sv),
    makeCommand("^PR10,40"sv), makeCommand("^PR11,51"sv), makeCommand("^PR12,62"sv),
};
static_assert(std::size(btSpeed) == 12);

constexpr command btDarkness[] = {
    makeCommand("~SD0"sv),  makeCommand("~SD1"sv),  makeCommand("~SD2"sv),
    makeCommand("~SD3"sv),  makeCommand("~SD4"sv),  makeCommand("~SD5"sv),
    makeCommand("~SD6"sv),  makeCommand("~SD7"sv),  makeCommand("~SD8"sv),
    makeCommand("~SD9"sv),  makeCommand("~SD10"sv), makeCommand("~SD11"sv),
    makeCommand("~SD12"sv), makeCommand("~SD13"sv), makeCommand("~SD14"sv),
    makeCommand("~SD15"sv), makeCommand("~SD16"sv), makeCommand("~SD17"sv),
    makeCommand("~SD18"sv), makeCommand("~SD19"sv), makeCommand("~SD20"sv),
    makeCommand("~SD21"sv), makeCommand("~SD22"sv), makeCommand("~SD23"sv),
    makeCommand("~SD24"sv), makeCommand("~SD25"sv), makeCommand("~SD26"sv),
    makeCommand("~SD27"sv), makeCommand("~SD28"sv), makeCommand("~SD29"sv),
    makeCommand("~SD30"sv),
};
static_assert(std::size(btDarkness) == 31);

constexpr command btOperationMode[] = {
    makeCommand("^MMT"sv),  // tear-off
    makeCommand("^MMR"sv),  // rewind
    makeCommand("^MMP"sv),  // peel-off
    makeCommand("^MMC"sv),  // cutter
};

// Position settings count half-millimetres; this choice means no offset.
constexpr int kNoOffset = 20;

// Writes an offset command: the fixed zero command for the centre setting (and for a PPD
// without the option), otherwise the distance from it in dots with the sign carried by the
// choice of format.
void outputOffset(Output& out, int setting, int f, command zero, const char* plus,
                  const char* minus)
{
  char dcTemp[256] = {};
  if (setting == kNoOffset || setting == -1)
    outputCommand(out, zero);
  else if (setting > kNoOffset)
    std::snprintf(dcTemp, sizeof dcTemp, plus, halfMillimetreDots(setting - 20.0, f));
  else
    std::snprintf(dcTemp, sizeof dcTemp, minus, halfMillimetreDots(20.0 - setting, f));
  outputText(out, dcTemp);
}

void outputFormatted(Output& out, const char* fmt, long long a, long long b = 0,
                     long long c = 0)
{
  char dcTemp[256] = {};
  std::snprintf(dcTemp, sizeof dcTemp, fmt, a, b, c);
  outputText(out, dcTemp);
}

Status fail(Job& job, std::string message)
{
  if (job.error.empty())
    job.error = std::move(message);
  job.inPage = false;
  return Status::failed;
}

// The job's state after a failed write, or ok.
Status outputStatus(Job& job)
{
  if (outputFailed(job.out))
    return fail(job, outputErrorText(job.out));
  return Status::ok;
}

extern "C" int putGrfText(void* context, const char* text, std::uint64_t length)
{
  Output& out = *static_cast<Output*>(context);
  outputBytes(out, text, length);
  return outputFailed(out) ? 1 : 0;
}

}  // namespace

settings_ settingsFromValues(const PlainSettings& v)
{
  settings_ s = {};
  s.printtype = v.media == PlainSettings::directThermal     ? 1
                : v.media == PlainSettings::thermalTransfer ? 2
                                                            : 0;
  s.pagetype = v.tracking == PlainSettings::continuous ? 0
               : v.tracking == PlainSettings::mark     ? 1
               : v.tracking == PlainSettings::gap      ? 2
                                                       : 99;
  s.imagecontrol = v.rotate180 ? 1 : 0;
  s.outpagemode = v.mode == PlainSettings::printerMode ? 99 : static_cast<int>(v.mode);
  s.density = v.darkness >= 0 && v.darkness <= 30 ? v.darkness : 99;
  s.printposition = halfMillimetreChoice(v.topOffsetMm, kNoOffset);
  s.tearoffposition = halfMillimetreChoice(v.tearOffMm, kNoOffset);
  s.mirror = v.mirror ? 1 : 0;
  s.inverse = v.reverse ? 1 : 0;
  s.printspeed = v.speed >= 2 && v.speed <= 12 ? v.speed - 1 : 0;
  s.pause = v.pause ? 2 : 0;
  s.graphicencoding = v.z64 ? 1 : 0;
  return s;
}

void startJob(Job& job, const settings_& settings, int resolution, bool zeroRun, int copies,
              ByteSink sink)
{
  job.settings = settings;
  job.resolution = resolution;
  job.zeroRun = zeroRun;
  job.copies = copies > 0 ? copies : 1;
  openOutput(job.out, sink);
  job.error.clear();
  job.pages = 0;
  job.preambleSent = false;
  job.inPage = false;
}

void jobSetup(Job& job)
{
  static constexpr unsigned char zeros[512] = {};
  Output& out = job.out;
  const settings_& settings = job.settings;
  if (job.zeroRun)
    outputBytes(out, zeros, sizeof zeros);

  outputCommand(out, btChangeCmmd);
  outputCommand(out, btStartFormat);

  int f = dotsPerMillimetre(job.resolution);
  outputOffset(out, settings.tearoffposition, f, btAdjustTearoff, "~TA%.3d", "~TA-%.3d");
  outputCommand(out, btBackFeed);
  outputOffset(out, settings.printposition, f, btAdjustTop, "^LT%d", "^LT-%d");

  outputCommand(out, tableCommand(btPaperType, settings.pagetype));
  if (settings.printtype != 0)
    outputCommand(out, tableCommand(btThermal, settings.printtype));
  outputCommand(out, tableCommand(btRote180, settings.imagecontrol));
  outputCommand(out, tableCommand(btMirror, settings.mirror));
  outputCommand(out, btLabelHome);
  outputCommand(out, btResolution);
  if (settings.printspeed != 0)
    outputCommand(out, tableCommand(btSpeed, settings.printspeed));
  outputCommand(out, tableCommand(btDarkness, settings.density));
  outputCommand(out, btUpdateConfig);
  outputCommand(out, btInverse[0]);
  outputCommand(out, btInterFont);
  outputCommand(out, btEndFormat);
}

void endPage(Job& job, int iPaperWidth, int iPaperHeight, int lWidth, int lHeight,
             int iResolution)
{
  Output& out = job.out;
  const settings_& settings = job.settings;

  // The print format goes once a copy; the graphic stays in the printer until deleted.
  for (int copy = 0; copy < job.copies; copy++) {
    outputCommand(out, btStartFormat);
    outputCommand(out, tableCommand(btOperationMode, settings.outpagemode));
    outputFormatted(out, "^PW%lld", iPaperWidth);
    outputFormatted(out, "^LL%lld", iPaperHeight);
    outputCommand(out, btAdjustPosition);

    // The field's baseline is the graphic's last row, so its top-left corner is the origin.
    outputFormatted(out, "^FT%lld,%lld", 0, lHeight);
    outputCommand(out, btMagnify);
    outputCommand(out, btFieldSeparate);

    // Negative print: a solid box over the whole graphic reverses every dot under it.  The
    // box is at least as thick as half its width, so it has no hole.
    if (settings.inverse == 1) {
      long long w = static_cast<long long>(lWidth) * dotsPerMillimetre(iResolution);
      outputCommand(out, btInverse[1]);
      outputFormatted(out, "^FO%lld,%lld", 0, 0);
      outputFormatted(out, "^GB%lld,%lld,%lld", w, lHeight, (w + 1) / 2);
      outputCommand(out, btFieldSeparate);
      outputCommand(out, btInverse[0]);
    }

    if (settings.pause == 1)
      outputCommand(out, btPause_AfterJob);
    else if (settings.pause == 2)
      outputCommand(out, btPause_AfterLabel);
    else
      outputCommand(out, btPause_No);
    outputCommand(out, btEndFormat);
  }

  // The graphic has been printed; free the printer's memory for the next page.
  outputCommand(out, btStartFormat);
  outputCommand(out, btDelete);
  outputCommand(out, btFieldSeparate);
  outputCommand(out, btEndFormat);
}

Status startPage(Job& job, const PageSize& page)
{
  if (!job.error.empty())
    return Status::failed;
  if (job.cancelled.load(std::memory_order_relaxed))
    return Status::cancelled;
  int number = job.pages + 1;

  // Everything that could stop the page is decided before any of it is written: a download
  // header without its whole data would make the printer take the next job's bytes as
  // graphic data.  Rows are rounded up to 32 dots (a multiple of 4 bytes), the row count up
  // to 32, in 64 bits so that no size can wrap around.
  std::uint64_t rowBytes = (static_cast<std::uint64_t>(page.width) + 31) / 32 * 4;
  std::uint64_t rows = (static_cast<std::uint64_t>(page.height) + 31) & ~std::uint64_t{31};
  if (page.width == 0 || page.height == 0 || page.bytesPerLine == 0 ||
      page.bytesPerLine > rowBytes) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Page %d has no usable size (%u x %u dots, %u bytes per line)", number,
                  page.width, page.height, page.bytesPerLine);
    return fail(job, text);
  }
  std::uint64_t bytes = rowBytes * rows;
  if (bytes > job.pageByteLimit) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Page %d is too large: its bitmap needs %llu bytes, more than the %llu bytes "
                  "a label may take",
                  number, static_cast<unsigned long long>(bytes),
                  static_cast<unsigned long long>(job.pageByteLimit));
    return fail(job, text);
  }
  if (job.bitmap.size() < bytes) {
    try {
      job.bitmap.resize(bytes);
    } catch (const std::bad_alloc&) {
      char text[200];
      std::snprintf(text, sizeof text, "Unable to allocate %llu bytes for page %d",
                    static_cast<unsigned long long>(bytes), number);
      return fail(job, text);
    }
  }

  if (!job.preambleSent) {
    jobSetup(job);
    job.preambleSent = true;
  }

  // Bytes the rows do not cover (the right-hand padding of each row, the rows below the
  // page) hold the fill byte; a negative print fills them black, to be reversed.
  std::memset(job.bitmap.data(), job.settings.inverse != 0 ? 0xFF : 0x00, bytes);
  job.page = page;
  job.rowBytes = rowBytes;
  job.rows = rows;
  job.received = 0;
  job.inPage = true;
  return outputStatus(job);
}

void writeRow(Job& job, const unsigned char* row)
{
  if (!job.inPage || job.received >= job.page.height)
    return;
  std::memcpy(job.bitmap.data() + job.received * job.rowBytes, row, job.page.bytesPerLine);
  job.received++;
}

Status finishPage(Job& job)
{
  if (!job.error.empty())
    return Status::failed;
  if (!job.inPage)
    return fail(job, "A page was finished that was never started");
  job.inPage = false;
  int number = job.pages + 1;

  // A cut or cancelled page is dropped whole: its download is never started.
  if (job.received < job.page.height) {
    if (job.cancelled.load(std::memory_order_relaxed))
      return Status::cancelled;
    char text[200];
    std::snprintf(text, sizeof text, "Page %d ended after %llu of %u lines", number,
                  static_cast<unsigned long long>(job.received), job.page.height);
    return fail(job, text);
  }
  if (job.cancelled.load(std::memory_order_relaxed))
    return Status::cancelled;

  // From here the page goes out whole, whatever comes meanwhile.
  std::uint64_t bytes = job.rowBytes * job.rows;
  char btCommand[256] = {};
  std::snprintf(btCommand, sizeof btCommand, "~DG000.GRF,%llu,%llu,",
                static_cast<unsigned long long>(bytes),
                static_cast<unsigned long long>(job.rowBytes));
  int status = 0;
  if (job.settings.graphicencoding == 1) {
    // Z64 text is a fraction of the hex and is made whole before the download starts, so a
    // failure to make it sends nothing of the page.
    char* text = nullptr;
    std::uint64_t length = 0;
    if (GRFDataZ64Encode(job.bitmap.data(), bytes, job.rowBytes, &text, &length) != 0) {
      char message[200];
      std::snprintf(message, sizeof message, "Unable to compress page %d", number);
      return fail(job, message);
    }
    outputText(job.out, btCommand);
    outputBytes(job.out, text, length);
    FreeReallocMemory(&text);
  } else {
    outputText(job.out, btCommand);
    status = GRFDataCompressStream(job.bitmap.data(), bytes, job.rowBytes, putGrfText,
                                   &job.out);
  }
  if (status == 3) {
    // The download has begun and cannot be completed: the printer must not take what
    // follows for graphic data, so nothing more is sent.
    job.out.error = ENOMEM;
    char text[200];
    std::snprintf(text, sizeof text, "Unable to compress page %d", number);
    return fail(job, text);
  }
  endPage(job, static_cast<int>(job.page.width), static_cast<int>(job.page.height),
          static_cast<int>(job.rowBytes), static_cast<int>(job.rows), job.page.resolution);
  // The label leaves now rather than with the next one, so the printer can start on it and
  // a page counts as sent only once the sink has taken it.
  flushOutput(job.out);
  if (outputStatus(job) != Status::ok)
    return Status::failed;
  job.pages++;
  return Status::ok;
}

Status finishJob(Job& job)
{
  // What is buffered is whole pages (a page that failed sent nothing), so it goes out even
  // when the job failed later; after a failed write nothing does.
  if (!flushOutput(job.out))
    return fail(job, outputErrorText(job.out));
  if (!job.error.empty())
    return Status::failed;
  return job.cancelled.load(std::memory_order_relaxed) ? Status::cancelled : Status::ok;
}

}  // namespace zpl
