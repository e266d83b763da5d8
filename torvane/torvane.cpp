// torvane.cpp: CUPS raster to ZPL II filter: settings, job preamble, label formats, page loop.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "torvane.h"

#include "DataComDecompress.h"
#include "choices.h"
#include "command.h"
#include "job.h"
#include "probe.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

using namespace std::literals;

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

// Dots per millimetre for the two printer resolutions; any other resolution is used as given.
static int dotFactor(int iResolution)
{
  if (iResolution == 203)
    return 8;
  if (iResolution == 300)
    return 12;
  return iResolution;
}

bool initializeSettings(char* commandLineOptionSettings, settings_* settings)
{
  PpdPtr ppd = openJobPpd(commandLineOptionSettings);
  if (!ppd)
    return false;

  *settings = {};
  settings->printposition = getOptionChoiceIndex("PrintPosition", ppd.get());
  settings->tearoffposition = getOptionChoiceIndex("TearoffPosition", ppd.get());
  settings->pagetype = getOptionChoiceIndex("PageType", ppd.get());
  settings->printtype = getOptionChoiceIndex("MediaType", ppd.get());
  settings->imagecontrol = getOptionChoiceIndex("ImageControl", ppd.get());
  settings->mirror = getOptionChoiceIndex("PrintMirror", ppd.get());
  settings->inverse = getOptionChoiceIndex("Inverse", ppd.get());
  settings->printspeed = getOptionChoiceIndex("PrintSpeed", ppd.get());
  settings->pause = getOptionChoiceIndex("Pause", ppd.get());
  settings->density = getOptionChoiceIndex("Darkness", ppd.get());
  settings->outpagemode = getOptionChoiceIndex("OutMode", ppd.get());
  return true;
}

// Some hosts' USB stacks lose the first bytes of a job; 512 zero bytes in front keep the
// preamble whole.  Decides from the release banner, the locale and the kernel version.
static bool hostNeedsZeroRun()
{
  char buffer[1024] = {};
  char sztemp[200] = {};
  SystemRtn("cat /etc/issue", buffer, sizeof buffer);
  SystemRtn("echo $LANG", sztemp, sizeof sztemp);

  if (buffer[0] == '\0')
    return false;
  if (textContains(sztemp, "zh_CN"))
    return textContains(buffer, "方德桌面");
  if (textContains(buffer, "Fedora") || textContains(buffer, "Ubuntu"))
    return true;

  std::memset(buffer, 0, sizeof buffer);
  SystemRtn("cat /proc/version", buffer, sizeof buffer);
  return textContains(buffer, "Fedora") || textContains(buffer, "fedora") ||
         textContains(buffer, "Ubuntu") || textContains(buffer, "ubuntu");
}

// Writes an offset command: the fixed zero command for the centre setting, otherwise the
// distance from it in dots with the sign carried by the choice of format.
static void outputOffset(int setting, int f, command zero, const char* plus, const char* minus)
{
  char dcTemp[256] = {};
  if (setting > kNoOffset)
    std::snprintf(dcTemp, sizeof dcTemp, plus, truncateDots(f * (0.5 * (setting - 20.0))));
  else if (setting == kNoOffset)
    outputCommand(zero);
  else
    std::snprintf(dcTemp, sizeof dcTemp, minus, truncateDots(f * (10 - 0.5 * setting)));
  outputText(dcTemp);
}

void jobSetup(settings_ settings, int iResolution)
{
  if (hostNeedsZeroRun())
    writeZeroRun();

  outputCommand(btChangeCmmd);
  outputCommand(btStartFormat);

  int f = dotFactor(iResolution);
  outputOffset(settings.tearoffposition, f, btAdjustTearoff, "~TA%.3d", "~TA-%.3d");
  outputCommand(btBackFeed);
  outputOffset(settings.printposition, f, btAdjustTop, "^LT%d", "^LT-%d");

  outputCommand(tableCommand(btPaperType, settings.pagetype));
  if (settings.printtype != 0)
    outputCommand(tableCommand(btThermal, settings.printtype));
  outputCommand(tableCommand(btRote180, settings.imagecontrol));
  outputCommand(tableCommand(btMirror, settings.mirror));
  outputCommand(btLabelHome);
  outputCommand(btResolution);
  if (settings.printspeed != 0)
    outputCommand(tableCommand(btSpeed, settings.printspeed));
  outputCommand(tableCommand(btDarkness, settings.density));
  outputCommand(btUpdateConfig);
  outputCommand(btInverse[0]);
  outputCommand(btInterFont);
  outputCommand(btEndFormat);
}

void endPage(settings_ settings, int iPaperWidth, int iPaperHeight, int lWidth, int lHeight,
             int iResolution)
{
  char dcTemp[256] = {};
  auto format = [&dcTemp](const char* fmt, auto... args) {
    std::memset(dcTemp, 0, sizeof dcTemp);
    std::snprintf(dcTemp, sizeof dcTemp, fmt, args...);
    outputText(dcTemp);
  };

  outputCommand(btStartFormat);
  outputCommand(tableCommand(btOperationMode, settings.outpagemode));
  format("^PW%d", iPaperWidth);
  format("^LL%d", iPaperHeight);
  outputCommand(btAdjustPosition);

  // The field's baseline is the graphic's last row, so its top-left corner is the origin.
  format("^FT%d,%d", 0, lHeight);
  outputCommand(btMagnify);
  outputCommand(btFieldSeparate);

  // Negative print: a solid box over the whole graphic reverses every dot under it.  The box
  // is at least as thick as half its width, so it has no hole.
  if (settings.inverse == 1) {
    long long w = static_cast<long long>(lWidth) * dotFactor(iResolution);
    outputCommand(btInverse[1]);
    format("^FO%d,%d", 0, 0);
    format("^GB%lld,%d,%lld", w, lHeight, (w + 1) / 2);
    outputCommand(btFieldSeparate);
    outputCommand(btInverse[0]);
  }

  if (settings.pause == 1)
    outputCommand(btPause_AfterJob);
  else if (settings.pause == 2)
    outputCommand(btPause_AfterLabel);
  else
    outputCommand(btPause_No);
  outputCommand(btEndFormat);

  // The graphic has been printed; free the printer's memory for the next page.
  outputCommand(btStartFormat);
  outputCommand(btDelete);
  outputCommand(btFieldSeparate);
  outputCommand(btEndFormat);
}

// Bitmap geometry of one page: rows rounded up to 32 dots (a multiple of 4 bytes), the row
// count rounded up to 32.  Computed in 64 bits so that no header can wrap it around.
struct PageGeometry {
  std::uint64_t lWidth;
  std::uint64_t lHeight;
  std::uint64_t nBytesOfBmpBuffer;
};

static PageGeometry pageGeometry(const cups_page_header_t& header)
{
  PageGeometry g;
  g.lWidth = (static_cast<std::uint64_t>(header.cupsWidth) + 31) / 32 * 4;
  g.lHeight = (static_cast<std::uint64_t>(header.cupsHeight) + 31) & ~std::uint64_t{31};
  g.nBytesOfBmpBuffer = g.lWidth * g.lHeight;
  return g;
}

int torvaneMain(int argc, char** argv)
{
  return runFilter(argc, argv, initializeSettings, printPages);
}

int printPages(cups_raster_t* ras, settings_ settings)
{
  int page = 0;
  int paperflag = 0;
  std::vector<unsigned char> pbGBuffer;
  cups_page_header_t header;

  while (ras != nullptr && !jobCancelled() && readPageHeader(ras, header)) {
    if (header.cupsHeight == 0 || header.cupsBytesPerLine == 0)
      break;

    // Everything that could stop the page is decided before any of it is written: a download
    // header without its whole data would make the printer take the next job's bytes as
    // graphic data.
    if (!checkOneBitPerDot(header, page + 1))
      return 1;
    PageGeometry g = pageGeometry(header);
    if (g.nBytesOfBmpBuffer > pageByteLimit) {
      std::fprintf(stderr,
                   "ERROR: Page %d is too large: its bitmap needs %llu bytes, more than the "
                   "%llu bytes a label may take\n",
                   page + 1, static_cast<unsigned long long>(g.nBytesOfBmpBuffer),
                   static_cast<unsigned long long>(pageByteLimit));
      return 1;
    }
    if (pbGBuffer.size() < g.nBytesOfBmpBuffer) {
      try {
        pbGBuffer.resize(g.nBytesOfBmpBuffer);
      } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "ERROR: Unable to allocate %llu bytes for page %d\n",
                     static_cast<unsigned long long>(g.nBytesOfBmpBuffer), page + 1);
        return 1;
      }
    }

    if (paperflag == 0) {
      jobSetup(settings, static_cast<int>(header.HWResolution[0]));
      paperflag = 1;
    }

    // Bytes the raster does not cover (the right-hand padding of each row, the rows below
    // the page) hold the fill byte; a negative print fills them black, to be reversed.
    unsigned char fill = settings.inverse != 0 ? 0xFF : 0x00;
    std::memset(pbGBuffer.data(), fill, g.nBytesOfBmpBuffer);
    std::uint64_t y = 0;
    for (; y < header.cupsHeight; y++) {
      if (jobCancelled())
        break;
      if (cupsRasterReadPixels(ras, pbGBuffer.data() + y * g.lWidth,
                               header.cupsBytesPerLine) == 0)
        break;
    }

    // Rows the raster never delivered print white.  A black fill outside the reversing box
    // (Inverse other than 0 and 1, or missing from the PPD) would print them as a black band.
    if (y < header.cupsHeight && fill == 0xFF && settings.inverse != 1)
      std::memset(pbGBuffer.data() + y * g.lWidth, 0x00, (header.cupsHeight - y) * g.lWidth);
    // A cancelled page is dropped whole: its download is never started.
    if (jobCancelled())
      break;

    char* pbBuffer = nullptr;
    std::uint64_t DestDataLen = 0;
    if (GRFDataCompress(pbGBuffer.data(), g.nBytesOfBmpBuffer, g.lWidth, &pbBuffer,
                        &DestDataLen) != 0) {
      std::fprintf(stderr, "ERROR: Unable to compress page %d\n", page + 1);
      return 1;
    }
    page++;

    char btCommand[256] = {};
    std::snprintf(btCommand, sizeof btCommand, "~DG000.GRF,%llu,%llu,",
                  static_cast<unsigned long long>(g.nBytesOfBmpBuffer),
                  static_cast<unsigned long long>(g.lWidth));
    outputText(btCommand);
    outputBytes(pbBuffer, DestDataLen);
    FreeReallocMemory(&pbBuffer);

    endPage(settings, static_cast<int>(header.cupsWidth), static_cast<int>(header.cupsHeight),
            static_cast<int>(g.lWidth), static_cast<int>(g.lHeight),
            static_cast<int>(header.HWResolution[0]));
    if (outputFailed())
      return 1;
  }

  return finishJob(page);
}
