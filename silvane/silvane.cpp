// silvane.cpp: CUPS raster to DPL filter: settings, job preamble, label commands, scan-line
// encoder and page loop.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "silvane.h"

#include "choices.h"
#include "command.h"
#include "job.h"
#include "probe.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

using namespace std::literals;

// Every byte the filter can send, before the logic that picks among them.  STX (\002) opens
// a DPL command, SOH (\001) an immediate one, CR (\r) ends it.

// Reset, clear the label memory, set absolute character mode and turn the feed after a
// format off.
constexpr command printerInitializeCommand = makeCommand("\001D\r\002N\r\002A1\r\002JE1\r"sv);
static_assert(printerInitializeCommand.length == 15);

// Print method.
constexpr command PrinttypeCommand[] = {
    emptyCommand,
    makeCommand("\002j28000\r"sv),  // direct thermal
    makeCommand("\002j28080\r"sv),  // thermal transfer
};

// Media sensing; the first two entries are two commands, the first without its own CR.
constexpr command PagetypeCommand[] = {
    emptyCommand,
    makeCommand("\002j48080\002j24000\r"sv),
    makeCommand("\002j48000\002j24000\r"sv),
    makeCommand("\002j24040\r"sv),
};
static_assert(PagetypeCommand[1].length == 15 && PagetypeCommand[2].length == 15);

// Print upside down or not.
constexpr command ImageControlCommand[] = {
    makeCommand("\002u0\r"sv),
    makeCommand("\002u1\r"sv),
};

// Tear-off, peel-off, cutter and the modes that end the job with an out-paper position.
constexpr command OutpagemodeCommand[] = {
    makeCommand("\002j23000\r"sv), makeCommand("\002j23020\r"sv),
    makeCommand("\002j23010\r"sv), makeCommand("\002j23030\r"sv),
    makeCommand("\002j23030\r"sv), makeCommand("\002j23030\r"sv),
};
static_assert(std::size(OutpagemodeCommand) == 6);

// Enter label formatting mode.
constexpr command startpageCommand0 = makeCommand("\002L\r"sv);

// Heat setting: choice n sends H(n-1); choice 0 leaves the printer's own setting.
constexpr command densityCommand[] = {
    emptyCommand,
    makeCommand("H00\r"sv), makeCommand("H01\r"sv), makeCommand("H02\r"sv),
    makeCommand("H03\r"sv), makeCommand("H04\r"sv), makeCommand("H05\r"sv),
    makeCommand("H06\r"sv), makeCommand("H07\r"sv), makeCommand("H08\r"sv),
    makeCommand("H09\r"sv), makeCommand("H10\r"sv), makeCommand("H11\r"sv),
    makeCommand("H12\r"sv), makeCommand("H13\r"sv), makeCommand("H14\r"sv),
    makeCommand("H15\r"sv), makeCommand("H16\r"sv), makeCommand("H17\r"sv),
    makeCommand("H18\r"sv), makeCommand("H19\r"sv), makeCommand("H20\r"sv),
    makeCommand("H21\r"sv), makeCommand("H22\r"sv), makeCommand("H23\r"sv),
    makeCommand("H24\r"sv), makeCommand("H25\r"sv), makeCommand("H26\r"sv),
    makeCommand("H27\r"sv), makeCommand("H28\r"sv), makeCommand("H29\r"sv),
    makeCommand("H30\r"sv),
};
static_assert(std::size(densityCommand) == 32);

// Header of the image record that carries the page bitmap, with its five zero bytes.
constexpr command startpageCommand = makeCommand("1Y1199900000000\r\000\000\000\000\000"sv);
static_assert(startpageCommand.length == 21);

// End of the image data, then E: end the label format and print it.
constexpr command endpageCommand = makeCommand("\xFF\x0F" "\rE\r"sv);
static_assert(endpageCommand.length == 5);

// The digits (0xFF until filled) are the label's height and width in dots.
unsigned char PaperCommand[15] = {0x02, 'c',  0xFF, 0xFF, 0xFF, 0xFF, 0x0D, 0x02,
                                  'K',  'w',  0xFF, 0xFF, 0xFF, 0xFF, 0x0D};

int iPrnResolution = 0;

// Print position settings count half-millimetres around this choice, which means no offset.
constexpr int kNoOffset = 17;

// -------------------------------------------------------------------------------------------
// Settings

const char* getOptionChoiceString(const char* choiceName, ppd_file_t* ppd)
{
  ppd_choice_t* choice = findChosenChoice(choiceName, ppd);
  return choice != nullptr ? choice->text : nullptr;
}

int getOptionChoiceValue(const char* choiceName, ppd_file_t* ppd)
{
  ppd_choice_t* choice = findChosenChoice(choiceName, ppd);
  if (choice == nullptr)
    return -1;

  // A keyword such as 4abc015 carries the position in its last three characters; a shorter
  // keyword is read whole.
  std::size_t length = std::strlen(choice->choice);
  return leadingNumber(choice->choice + (length > 3 ? length - 3 : 0));
}

bool initializeSettings(char* commandLineOptionSettings, settings_* settings)
{
  PpdPtr ppd = openJobPpd(commandLineOptionSettings);
  if (!ppd)
    return false;

  *settings = {};
  settings->printtype = getOptionChoiceIndex("PrintType", ppd.get());
  settings->pagetype = getOptionChoiceIndex("PageType", ppd.get());
  settings->outpagemode = getOptionChoiceIndex("OutMode", ppd.get());
  settings->imagecontrol = getOptionChoiceIndex("ImageControl", ppd.get());
  settings->density = getOptionChoiceIndex("Darkness", ppd.get());
  settings->printposition = getOptionChoiceIndex("PrintPosition", ppd.get());
  settings->outpaperposition = getOptionChoiceIndex("OutPaperPosition", ppd.get());

  // The text is copied: the PPD is closed when this function returns.
  if (const char* text = getOptionChoiceString("OutPaperPosition", ppd.get()))
    settings->ourpaperstring = text;
  if (settings->outpagemode > 3)
    settings->ioutposition = getOptionChoiceValue("OutMode", ppd.get());
  return true;
}

// -------------------------------------------------------------------------------------------
// Job preamble, label and job end

void setPaperSize(unsigned long long heightdots, unsigned long long widthdots)
{
  // Only the last four digits fit the command; thousands first.
  for (int i = 3; i >= 0; i--) {
    PaperCommand[2 + i] = static_cast<unsigned char>('0' + heightdots % 10);
    PaperCommand[10 + i] = static_cast<unsigned char>('0' + widthdots % 10);
    heightdots /= 10;
    widthdots /= 10;
  }
}

// Some hosts' USB stacks lose the first bytes of a job; 512 zero bytes in front keep the
// preamble whole.  Decides from the release banner, the locale and the kernel version; the
// kernel is asked only when the banner decides nothing.
static bool hostNeedsZeroRun()
{
  char buffer[1024] = {};
  char sztemp[200] = {};
  SystemRtn("cat /etc/issue", buffer, sizeof buffer);
  SystemRtn("echo $LANG", sztemp, sizeof sztemp);

  if (buffer[0] == '\0')
    return false;
  if (textContains(sztemp, "zh_CN")) {
    if (textContains(buffer, "方德桌面") || textContains(buffer, "Arm64"))
      return true;
    std::memset(buffer, 0, sizeof buffer);
    SystemRtn("cat /proc/version", buffer, sizeof buffer);
    return textContains(buffer, "Arm64") || textContains(buffer, "arm64");
  }
  if (textContains(buffer, "Fedora") || textContains(buffer, "Ubuntu"))
    return true;
  std::memset(buffer, 0, sizeof buffer);
  SystemRtn("cat /proc/version", buffer, sizeof buffer);
  return textContains(buffer, "Fedora") || textContains(buffer, "fedora") ||
         textContains(buffer, "Ubuntu") || textContains(buffer, "ubuntu");
}

// The number of an out-paper position text such as "2.5mm": the text without its
// two-character unit, read as a decimal number.  No text, a text too short to hold a number,
// or one that does not start with a number gives 0; a long text is cut to what the number
// buffer holds.
static double outPaperNumber(const std::optional<std::string>& text)
{
  char outpaperpos[20] = {};
  if (!text || text->size() < 2)
    return 0;
  std::size_t length = std::min(text->size() - 2, sizeof outpaperpos - 1);
  std::memcpy(outpaperpos, text->data(), length);
  return std::strtod(outpaperpos, nullptr);
}

void jobSetup(settings_ settings, int iResolution)
{
  if (hostNeedsZeroRun())
    writeZeroRun();

  iPrnResolution = 8;
  outputCommand(printerInitializeCommand);
  outputCommand(tableCommand(PrinttypeCommand, settings.printtype));
  outputCommand(tableCommand(PagetypeCommand, settings.pagetype));
  outputCommand(tableCommand(ImageControlCommand, settings.imagecontrol));
  outputBytes(PaperCommand, sizeof PaperCommand);
  outputCommand(tableCommand(OutpagemodeCommand, settings.outpagemode));

  if (iResolution == 300)
    iPrnResolution = 12;

  // Tear-off and peel-off modes move the stop position by the out-paper distance.  Without a
  // text to take the distance from, the printer keeps its own.
  if (settings.outpagemode <= 2 && settings.outpaperposition != 0 && settings.ourpaperstring) {
    char dcTemp[20] = {};
    int fpos = truncateDots(outPaperNumber(settings.ourpaperstring) * iPrnResolution);
    std::snprintf(dcTemp, sizeof dcTemp, fpos < 0 ? "%cKf%03d%c" : "%cKf%02d%c", 2, fpos, 13);
    outputText(dcTemp);
  }
}

void pageSetup(settings_ settings, cups_page_header_t /*header*/)
{
  // The offset in dots is written without sign; the format carries it.
  char dcTemp[256] = {};
  // Choice 0 (or none) leaves the printer's own position.
  int p = settings.printposition;
  if (p >= kNoOffset)
    std::snprintf(dcTemp, sizeof dcTemp, "%cJY%04d%c", 2,
                  truncateDots((p - double{kNoOffset}) * 0.5 * iPrnResolution), 13);
  else if (p >= 1)
    std::snprintf(dcTemp, sizeof dcTemp, "%cJY-%04d%c", 2,
                  truncateDots((kNoOffset - p) * 0.5 * iPrnResolution), 13);
  outputText(dcTemp);

  outputCommand(startpageCommand0);
  outputCommand(tableCommand(densityCommand, settings.density));
  outputCommand(startpageCommand);
}

void endPage(settings_ /*settings*/)
{
  outputCommand(endpageCommand);
}

void endJob(settings_ settings)
{
  // The modes above 3 feed the last label out by the out-paper distance plus the position
  // that the output mode's keyword carries.  Summed in 64 bits: an absurd distance must not
  // wrap around.
  char dcTemp[20] = {};
  if (settings.outpagemode > 3) {
    long long position = settings.ioutposition;
    if (settings.outpaperposition != 0)
      position += truncateDots(outPaperNumber(settings.ourpaperstring) * iPrnResolution);
    std::snprintf(dcTemp, sizeof dcTemp, "%cJP%03lld%c", 2, position, 13);
  }
  outputText(dcTemp);
}

// -------------------------------------------------------------------------------------------
// Scan lines

void outputBlankLines(unsigned long long n)
{
  // Each FF FE stands for 254 lines, the closing FF n for the rest (FF 00 when none is left).
  for (unsigned long long runs = n / 254; runs > 0; runs--) {
    outputByte(0xFF);
    outputByte(0xFE);
  }
  // FF 0F ends the image data, so a rest of 15 lines goes as 14 and 1: the printer would
  // otherwise stop the image there and read the rest of the page as commands.
  unsigned char rest = static_cast<unsigned char>(n % 254);
  if (rest == 0x0F) {
    outputByte(0xFF);
    outputByte(0x0E);
    rest = 0x01;
  }
  outputByte(0xFF);
  outputByte(rest);
}

namespace {

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHigh = 0x8080808080808080ull;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;

// Eight bytes as a number whose lowest byte is the first in memory, whatever the machine.
std::uint64_t load8(const unsigned char* p)
{
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big)
    w = __builtin_bswap64(w);
  return w;
}

// High bit set in exactly those bytes of `w` that are 0x00.
std::uint64_t zeroBytes(std::uint64_t w)
{
  return ~(((w & kLow7) + kLow7) | w | kLow7);
}

// High bit set in exactly those bytes of `w` above 0xC0: both top bits set and something
// below them.
std::uint64_t escapedBytes(std::uint64_t w)
{
  std::uint64_t topTwo = w & (w << 1) & kHigh;
  std::uint64_t lowSix = ((w & (0x3F * kOnes)) + 0x3F * kOnes) & (0x40 * kOnes);
  return topTwo & (lowSix << 1);
}

// The high bits of the eight bytes as an 8-bit mask, byte k to bit k.
std::uint64_t gatherHighBits(std::uint64_t h)
{
  return ((h >> 7) * 0x0102040810204080ull) >> 56;
}

// End of the run of `data` that starts at `q`, at most `limit`.
const unsigned char* runEnd(const unsigned char* q, const unsigned char* limit,
                            unsigned char data)
{
  std::uint64_t pattern = data * kOnes;
  while (limit - q >= 8) {
    std::uint64_t x = load8(q) ^ pattern;
    if (x != 0)
      return q + std::countr_zero(x) / 8;
    q += 8;
  }
  while (q < limit && *q == data)
    q++;
  return q;
}

// Writes the code of a run of `length` (2 to 62) bytes `data`.
unsigned char* putRun(unsigned char* out, int length, unsigned char data)
{
  out[0] = static_cast<unsigned char>(0xC0 + length);
  out[1] = data;
  return out + 2;
}

}  // namespace

// The line is coded in blocks of up to 62 bytes.  For each block two bit masks are made
// eight bytes at a time: the bytes equal to the byte after them, and the bytes that begin a
// two-byte code (a run, or a single byte above C0).  The codes are then found by walking the
// set bits, and the plain bytes between them are copied eight at a time, so the work follows
// the number of codes rather than the number of bytes.  A block never splits a run: one that
// goes on past the block is left whole to the next.  The last few bytes of the line, which a
// block cannot read past safely, are coded one code at a time.
int encode(const unsigned char* lpbuf, unsigned char* pt_d, int LineWidth)
{
  if (LineWidth < 1)
    return 0;

  const unsigned char* p = lpbuf;
  const unsigned char* end = lpbuf + LineWidth;
  unsigned char* out = pt_d;
  std::uint64_t seen = 0;  // every byte ORed in: zero for an all-white line

  for (;;) {
    // A block reads one byte past its end for the masks and up to seven past it when copying,
    // so it stops eight bytes short of the line's end.  Each block starts a code.
    std::ptrdiff_t avail = end - p;
    int groups = static_cast<int>(std::min<std::ptrdiff_t>(8, (avail - 1) / 8));
    int length = static_cast<int>(std::min<std::ptrdiff_t>({62, 8 * groups, avail - 7}));
    if (length < 16)
      break;

    // Eight equal bytes: a run, most often white space.
    unsigned char first = *p;
    if (load8(p) == first * kOnes) {
      const unsigned char* q = runEnd(p + 8, p + std::min<std::ptrdiff_t>(62, avail), first);
      seen |= first;
      out = putRun(out, static_cast<int>(q - p), first);
      p = q;
      continue;
    }

    std::uint64_t equal = 0;  // byte k equals byte k + 1
    std::uint64_t twoByte = 0;  // byte k equals byte k + 1, or is above C0
    for (int k = 0; k < groups; k++) {
      std::uint64_t w = load8(p + 8 * k);
      std::uint64_t same = zeroBytes(w ^ load8(p + 8 * k + 1));
      seen |= w;
      equal |= gatherHighBits(same) << (8 * k);
      twoByte |= gatherHighBits(same | escapedBytes(w)) << (8 * k);
    }
    std::uint64_t inBlock = (std::uint64_t{1} << length) - 1;
    equal &= inBlock;
    std::uint64_t starts = ~(equal << 1) & inBlock;  // bytes that begin a code

    // A run that goes on past the block is left to the next one; a block that is all one
    // such run is coded here as a run of up to 62.
    int used = length;
    if ((equal >> (length - 1)) & 1) {
      used = 63 - std::countl_zero(starts);
      if (used == 0) {
        const unsigned char* q = runEnd(p + length, p + std::min<std::ptrdiff_t>(62, avail), first);
        out = putRun(out, static_cast<int>(q - p), first);
        p = q;
        continue;
      }
    }

    std::uint64_t usedMask = (std::uint64_t{1} << used) - 1;
    std::uint64_t codes = twoByte & starts & usedMask;
    std::uint64_t stops = (starts & usedMask) | (std::uint64_t{1} << used);
    int done = 0;  // bytes of the block coded so far
    while (codes != 0) {
      int i = std::countr_zero(codes);
      codes &= codes - 1;
      // The plain bytes before the code, eight at a time; what a copy puts past them is
      // overwritten next or lies beyond the code's end, inside the buffer.
      std::memcpy(out, p + done, 8);
      for (int k = 8; k < i - done; k += 8)
        std::memcpy(out + k, p + done + k, 8);
      out += i - done;
      int next = i + 1 + std::countr_zero(stops >> (i + 1));
      out[0] = static_cast<unsigned char>(next - i > 1 ? 0xC0 + (next - i) : 0xC1);
      out[1] = p[i];
      out += 2;
      done = next;
    }
    for (int k = done; k < used; k += 8)
      std::memcpy(out + (k - done), p + k, 8);
    out += used - done;
    p += used;
  }

  while (p < end) {
    unsigned char data = *p;
    seen |= data;
    if (end - p >= 2 && p[1] == data) {
      const unsigned char* q = runEnd(p + 2, p + std::min<std::ptrdiff_t>(62, end - p), data);
      out = putRun(out, static_cast<int>(q - p), data);
      p = q;
    } else {
      // A single byte above C0 would read as a count, so C1 escapes it.
      if (data > 0xC0)
        *out++ = 0xC1;
      *out++ = data;
      p++;
    }
  }

  return seen != 0 ? static_cast<int>(out - pt_d) : 0;
}

namespace {

// True when every byte of the line is 0x00: nothing on it prints.
bool lineIsBlank(const unsigned char* line, std::size_t length)
{
  std::size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    if ((load8(line + i) | load8(line + i + 8) | load8(line + i + 16) | load8(line + i + 24)) != 0)
      return false;
  }
  for (; i < length; i++) {
    if (line[i] != 0)
      return false;
  }
  return true;
}

// Everything that could stop a page, decided before any of it is written, and the line
// buffers grown for it: one raster line and its code, which can take two bytes per byte.
bool preparePage(const cups_page_header_t& header, int page,
                 std::vector<unsigned char>& rasterData, std::vector<unsigned char>& pt_d)
{
  if (!checkOneBitPerDot(header, page))
    return false;
  if (header.cupsBytesPerLine > pageByteLimit) {
    std::fprintf(stderr,
                 "ERROR: Page %d is too large: its lines take %u bytes, more than the %llu "
                 "bytes a line may take\n",
                 page, header.cupsBytesPerLine, static_cast<unsigned long long>(pageByteLimit));
    return false;
  }
  std::size_t lineBytes = header.cupsBytesPerLine;
  try {
    if (rasterData.size() < lineBytes)
      rasterData.resize(lineBytes);
    if (pt_d.size() < 2 * lineBytes)
      pt_d.resize(2 * lineBytes);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "ERROR: Unable to allocate the line buffers for page %d (%zu bytes "
                 "per line)\n", page, lineBytes);
    return false;
  }
  return true;
}

// How a page's scan lines ended.
enum class LinesEnd { Complete, Cancelled, OutputFailed };

// Reads the page's scan lines and writes each printed line's code with its line end; blank
// lines are only counted and written as runs.  A stream that ends early ends the page there.
LinesEnd sendScanLines(cups_raster_t* ras, const cups_page_header_t& header, int page,
                       std::vector<unsigned char>& rasterData, std::vector<unsigned char>& pt_d)
{
  int LineWidth = static_cast<int>(header.cupsBytesPerLine);
  unsigned long long numBlankScanLines = 0;

  for (std::uint32_t y = 0; y < header.cupsHeight; y++) {
    if (jobCancelled())
      return LinesEnd::Cancelled;
    if ((y & 127) == 0) {
      // In 64 bits: y x 100 outgrows 32 bits on a page of more than 42 million lines.
      unsigned percent = static_cast<unsigned>(y * 100ull / header.cupsHeight);
      std::fprintf(stderr, "INFO: Printing page %d, %u%% complete...\n", page, percent);
      if (outputFailed())
        return LinesEnd::OutputFailed;
    }
    if (cupsRasterReadPixels(ras, rasterData.data(), header.cupsBytesPerLine) == 0)
      break;

    if (lineIsBlank(rasterData.data(), header.cupsBytesPerLine)) {
      numBlankScanLines++;
      continue;
    }
    if (numBlankScanLines > 0) {
      outputBlankLines(numBlankScanLines);
      numBlankScanLines = 0;
    }
    int length_d = encode(rasterData.data(), pt_d.data(), LineWidth);
    if (length_d > 0)
      outputBytes(pt_d.data(), static_cast<std::size_t>(length_d));
    outputByte(0xFF);
    outputByte(0x01);
  }

  // A cancelled job feeds no blank paper.
  if (jobCancelled())
    return LinesEnd::Cancelled;
  if (numBlankScanLines > 0)
    outputBlankLines(numBlankScanLines);
  return LinesEnd::Complete;
}

}  // namespace

int silvaneMain(int argc, char** argv)
{
  return runFilter(argc, argv, initializeSettings, printPages);
}

int printPages(cups_raster_t* ras, settings_ settings)
{
  int page = 0;          // pages started
  int wholePages = 0;    // pages sent with all their lines
  int paperflag = 0;
  std::vector<unsigned char> rasterData;
  std::vector<unsigned char> pt_d;
  cups_page_header_t header;

  while (ras != nullptr && !jobCancelled() && readPageHeader(ras, header)) {
    if (header.cupsHeight == 0 || header.cupsBytesPerLine == 0)
      break;
    if (!preparePage(header, page + 1, rasterData, pt_d))
      return 1;

    // The label size comes from the first page and holds for the whole job.
    if (paperflag == 0) {
      setPaperSize(header.cupsHeight, header.cupsBytesPerLine * 8ull);
      jobSetup(settings, static_cast<int>(header.HWResolution[0]));
      paperflag = 1;
    }

    pageSetup(settings, header);
    page++;
    std::fprintf(stderr, "PAGE: %d %u\n", page, header.NumCopies);
    LinesEnd end = sendScanLines(ras, header, page, rasterData, pt_d);
    if (end == LinesEnd::OutputFailed)
      return 1;

    // A cancelled job still closes the label it has begun, so the printer does not take
    // what comes next for image data; nothing is written after that.
    endPage(settings);
    if (end == LinesEnd::Cancelled)
      break;
    wholePages++;
    if (outputFailed())
      return 1;
  }

  if (jobCancelled())
    return finishJob(wholePages);
  endJob(settings);
  return finishJob(page);
}
