// dpl.cpp: the DPL job encoder: command tables, job preamble, label commands, the
// scan-line encoder and pages.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "dpl.h"

#include "GRFLoad8.h"
#include "command.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

using namespace std::literals;

namespace dpl {

// Every byte the filter can send, before the logic that picks among them.  STX (\002) opens
// a DPL command, SOH (\001) an immediate one, CR (\r) ends it.

// SOH D switches the printer's immediate commands off until it is reset (so data bytes that
// look like SOH commands are not obeyed); then clear the label memory, set absolute
// character mode and turn the feed after a format off.
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

// By OutMode choice: 0 tear-off, 1 rewind, 2 peel-off, 3 cutter, and 4 and 5 the cutter
// modes that end the job with an out-paper position.
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

// Print position settings count half-millimetres around this choice, which means no offset.
constexpr int kNoOffset = 17;

// The out-paper position choices count half-millimetres around this one (an explicit 0).
constexpr int kNoStopOffset = 21;

// -------------------------------------------------------------------------------------------
// Settings without a PPD

settings_ settingsFromValues(const PlainSettings& v)
{
  settings_ s = {};
  s.printtype = v.media == PlainSettings::directThermal     ? 1
                : v.media == PlainSettings::thermalTransfer ? 2
                                                            : 0;
  s.pagetype = static_cast<int>(v.tracking);
  s.imagecontrol = v.rotate180 ? 1 : 0;
  s.outpagemode = static_cast<int>(v.mode);
  s.density = v.heat >= 0 && v.heat <= 30 ? v.heat + 1 : 0;
  s.printposition = v.keepPrintPosition ? 0 : std::max(1, halfMillimetreChoice(v.topOffsetMm, kNoOffset));
  if (v.keepStopPosition) {
    s.outpaperposition = 0;
  } else {
    s.outpaperposition = std::max(1, halfMillimetreChoice(v.stopPositionMm, kNoStopOffset));
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f mm", (s.outpaperposition - kNoStopOffset) * 0.5);
    s.ourpaperstring = text;
  }
  s.ioutposition = 0;
  return s;
}

// -------------------------------------------------------------------------------------------
// Job preamble, label and job end

void setPaperSize(Job& job, unsigned long long heightdots, unsigned long long widthdots)
{
  // Only the last four digits fit the command; thousands first.
  for (int i = 3; i >= 0; i--) {
    job.PaperCommand[2 + i] = static_cast<unsigned char>('0' + heightdots % 10);
    job.PaperCommand[10 + i] = static_cast<unsigned char>('0' + widthdots % 10);
    heightdots /= 10;
    widthdots /= 10;
  }
}

namespace {

// The number of an out-paper position text such as "2.5mm": the text without its
// two-character unit, read as a decimal number.  No text, a text too short to hold a number,
// or one that does not start with a number gives 0; a long text is cut to what the number
// buffer holds.
double outPaperNumber(const std::optional<std::string>& text)
{
  char outpaperpos[20] = {};
  if (!text || text->size() < 2)
    return 0;
  std::size_t length = std::min(text->size() - 2, sizeof outpaperpos - 1);
  std::memcpy(outpaperpos, text->data(), length);
  return std::strtod(outpaperpos, nullptr);
}

// Where the label's bytes go: the printer, or the copy kept for copies.
Output& labelOutput(Job& job)
{
  return job.copies > 1 ? job.copy : job.out;
}

}  // namespace

void jobSetup(Job& job)
{
  static constexpr unsigned char zeros[512] = {};
  Output& out = job.out;
  const settings_& settings = job.settings;
  if (job.zeroRun)
    outputBytes(out, zeros, sizeof zeros);

  job.iPrnResolution = dotsPerMillimetre(job.resolution);
  outputCommand(out, printerInitializeCommand);
  outputCommand(out, tableCommand(PrinttypeCommand, settings.printtype));
  outputCommand(out, tableCommand(PagetypeCommand, settings.pagetype));
  outputCommand(out, tableCommand(ImageControlCommand, settings.imagecontrol));
  outputBytes(out, job.PaperCommand, sizeof job.PaperCommand);
  outputCommand(out, tableCommand(OutpagemodeCommand, settings.outpagemode));

  // Tear-off and peel-off modes move the stop position by the out-paper distance.  Without a
  // text to take the distance from, the printer keeps its own.
  if (settings.outpagemode <= 2 && settings.outpaperposition != 0 && settings.ourpaperstring) {
    char dcTemp[20] = {};
    int fpos = truncateDots(outPaperNumber(settings.ourpaperstring) * job.iPrnResolution);
    std::snprintf(dcTemp, sizeof dcTemp, fpos < 0 ? "%cKf%03d%c" : "%cKf%02d%c", 2, fpos, 13);
    outputText(out, dcTemp);
  }
}

void pageSetup(Job& job)
{
  Output& out = labelOutput(job);
  // The offset in dots is written without sign; the format carries it.
  char dcTemp[256] = {};
  // Choice 0 (or none) leaves the printer's own position.
  int p = job.settings.printposition;
  if (p >= kNoOffset)
    std::snprintf(dcTemp, sizeof dcTemp, "%cJY%04d%c", 2,
                  halfMillimetreDots(p - double{kNoOffset}, job.iPrnResolution), 13);
  else if (p >= 1)
    std::snprintf(dcTemp, sizeof dcTemp, "%cJY-%04d%c", 2,
                  halfMillimetreDots(kNoOffset - p, job.iPrnResolution), 13);
  outputText(out, dcTemp);

  outputCommand(out, startpageCommand0);
  outputCommand(out, tableCommand(densityCommand, job.settings.density));
  outputCommand(out, startpageCommand);
}

void endPage(Job& job)
{
  outputCommand(labelOutput(job), endpageCommand);
}

void endJob(Job& job)
{
  // The modes above 3 feed the last label out by the out-paper distance plus the position
  // that the output mode's keyword carries.  Summed in 64 bits: an absurd distance must not
  // wrap around.
  const settings_& settings = job.settings;
  char dcTemp[20] = {};
  if (settings.outpagemode > 3) {
    long long position = settings.ioutposition;
    if (settings.outpaperposition != 0)
      position += truncateDots(outPaperNumber(settings.ourpaperstring) * job.iPrnResolution);
    std::snprintf(dcTemp, sizeof dcTemp, "%cJP%03lld%c", 2, position, 13);
  }
  outputText(job.out, dcTemp);
}

// -------------------------------------------------------------------------------------------
// Scan lines

void outputBlankLines(Output& out, unsigned long long n)
{
  // Each FF FE stands for 254 lines, the closing FF n for the rest (FF 00 when none is left).
  for (unsigned long long runs = n / 254; runs > 0; runs--) {
    outputByte(out, 0xFF);
    outputByte(out, 0xFE);
  }
  // FF 0F ends the image data, so a rest of 15 lines goes as 14 and 1: the printer would
  // otherwise stop the image there and read the rest of the page as commands.
  unsigned char rest = static_cast<unsigned char>(n % 254);
  if (rest == 0x0F) {
    outputByte(out, 0xFF);
    outputByte(out, 0x0E);
    rest = 0x01;
  }
  outputByte(out, 0xFF);
  outputByte(out, rest);
}

namespace {

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHigh = 0x8080808080808080ull;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;

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
    std::uint64_t x = GRFLoad8(q) ^ pattern;
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
    if (GRFLoad8(p) == first * kOnes) {
      const unsigned char* q = runEnd(p + 8, p + std::min<std::ptrdiff_t>(62, avail), first);
      seen |= first;
      out = putRun(out, static_cast<int>(q - p), first);
      p = q;
      continue;
    }

    std::uint64_t equal = 0;  // byte k equals byte k + 1
    std::uint64_t twoByte = 0;  // byte k equals byte k + 1, or is above C0
    for (int k = 0; k < groups; k++) {
      std::uint64_t w = GRFLoad8(p + 8 * k);
      std::uint64_t same = zeroBytes(w ^ GRFLoad8(p + 8 * k + 1));
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
    if ((GRFLoad8(line + i) | GRFLoad8(line + i + 8) | GRFLoad8(line + i + 16) | GRFLoad8(line + i + 24)) != 0)
      return false;
  }
  for (; i < length; i++) {
    if (line[i] != 0)
      return false;
  }
  return true;
}

// -------------------------------------------------------------------------------------------
// Pages

Status fail(Job& job, std::string message)
{
  if (job.error.empty())
    job.error = std::move(message);
  job.inPage = false;
  return Status::failed;
}

Status outputStatus(Job& job)
{
  if (outputFailed(job.out))
    return fail(job, outputErrorText(job.out));
  return Status::ok;
}

bool isCancelled(const Job& job)
{
  return job.cancelled.load(std::memory_order_relaxed);
}

}  // namespace

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
  job.iPrnResolution = 0;
  job.inPage = false;
}

Status startPage(Job& job, const PageSize& page)
{
  if (!job.error.empty())
    return Status::failed;
  if (isCancelled(job))
    return Status::cancelled;
  int number = job.pages + 1;

  // Everything that could stop a page is decided before any of it is written.
  std::uint64_t rowBytes = (static_cast<std::uint64_t>(page.width) + 31) / 32 * 4;
  char text[200];
  if (page.width == 0 || page.height == 0 || page.bytesPerLine == 0 ||
      page.bytesPerLine > rowBytes) {
    std::snprintf(text, sizeof text,
                  "Page %d has no usable size (%u x %u dots, %u bytes per line)", number,
                  page.width, page.height, page.bytesPerLine);
    return fail(job, text);
  }
  if (page.bytesPerLine > job.pageByteLimit) {
    std::snprintf(text, sizeof text,
                  "Page %d is too large: its lines take %u bytes, more than the %llu bytes a "
                  "line may take",
                  number, page.bytesPerLine, static_cast<unsigned long long>(job.pageByteLimit));
    return fail(job, text);
  }
  // The label-size command carries four digits a dimension: a larger label would be sent as
  // a much smaller one.
  unsigned long long widthDots = page.bytesPerLine * 8ull;
  if (page.height > kMaxLabelDots || widthDots > kMaxLabelDots) {
    std::snprintf(text, sizeof text,
                  "Page %d is too large: %llu x %u dots, and a DPL label may be at most %u "
                  "dots wide and high",
                  number, widthDots, page.height, kMaxLabelDots);
    return fail(job, text);
  }
  std::size_t lineBytes = page.bytesPerLine;
  try {
    if (job.pt_d.size() < 2 * lineBytes)
      job.pt_d.resize(2 * lineBytes);
  } catch (const std::bad_alloc&) {
    std::snprintf(text, sizeof text,
                  "Unable to allocate the line buffers for page %d (%zu bytes per line)", number,
                  lineBytes);
    return fail(job, text);
  }

  // The label size comes from the first page and holds for the whole job.
  if (!job.preambleSent) {
    setPaperSize(job, page.height, widthDots);
    jobSetup(job);
    job.preambleSent = true;
  }
  if (job.copies > 1) {
    job.copyBytes.clear();
    openOutput(job.copy, stringSink(&job.copyBytes));
  }

  job.page = page;
  job.received = 0;
  job.numBlankScanLines = 0;
  job.inPage = true;
  pageSetup(job);
  return outputStatus(job);
}

void writeRow(Job& job, const unsigned char* row)
{
  if (!job.inPage || job.received >= job.page.height || isCancelled(job))
    return;
  job.received++;
  if (lineIsBlank(row, job.page.bytesPerLine)) {
    job.numBlankScanLines++;
    return;
  }
  Output& out = labelOutput(job);
  if (job.numBlankScanLines > 0) {
    outputBlankLines(out, job.numBlankScanLines);
    job.numBlankScanLines = 0;
  }
  int length_d = encode(row, job.pt_d.data(), static_cast<int>(job.page.bytesPerLine));
  if (length_d > 0)
    outputBytes(out, job.pt_d.data(), static_cast<std::size_t>(length_d));
  outputByte(out, 0xFF);
  outputByte(out, 0x01);
}

Status finishPage(Job& job)
{
  if (!job.error.empty())
    return Status::failed;
  if (!job.inPage)
    return fail(job, "A page was finished that was never started");
  job.inPage = false;
  int number = job.pages + 1;
  bool cut = job.received < job.page.height;

  // A label cut short feeds no blank paper; it is closed where it stands.  A label kept for
  // copies has sent nothing yet, so a cut or cancelled one is simply dropped.
  if (!cut && !isCancelled(job) && job.numBlankScanLines > 0)
    outputBlankLines(labelOutput(job), job.numBlankScanLines);
  job.numBlankScanLines = 0;
  if (job.copies == 1)
    endPage(job);
  if (isCancelled(job))
    return outputStatus(job) == Status::ok ? Status::cancelled : Status::failed;
  if (cut) {
    if (outputStatus(job) != Status::ok)
      return Status::failed;
    char text[200];
    std::snprintf(text, sizeof text, "Page %d ended after %llu of %u lines", number,
                  static_cast<unsigned long long>(job.received), job.page.height);
    return fail(job, text);
  }
  if (job.copies > 1) {
    endPage(job);
    flushOutput(job.copy);
    for (int copy = 0; copy < job.copies; copy++)
      outputBytes(job.out, job.copyBytes.data(), job.copyBytes.size());
    job.copyBytes.clear();
  }
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
  // Labels that were begun are closed, so what is buffered goes out even when the job failed
  // later; after a failed write nothing does.  A job without pages still gets its job end.
  if (job.error.empty() && !isCancelled(job))
    endJob(job);
  if (!flushOutput(job.out))
    return fail(job, outputErrorText(job.out));
  if (!job.error.empty())
    return Status::failed;
  return isCancelled(job) ? Status::cancelled : Status::ok;
}

}  // namespace dpl
