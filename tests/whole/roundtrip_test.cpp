// roundtrip_test.cpp: raster pages through torvane or silvane and back through labelpreview,
// which must give back every page dot for dot.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "DataComDecompress.h"
#include "GRFDataZ64.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

using namespace testsupport;

namespace {

// An option whose choices are the numbers 0 to count - 1, as our PPDs name them.
PpdOption numbered(const std::string& name, int count, int defaultChoice)
{
  PpdOption option{name, std::to_string(defaultChoice), {}};
  for (int i = 0; i < count; i++)
    option.choices.push_back(std::to_string(i) + "/" + name + " " + std::to_string(i));
  return option;
}

std::vector<PpdOption> torvaneOptions(bool withInverse = true)
{
  std::vector<PpdOption> options = {
      numbered("MediaType", 3, 1),         numbered("PageType", 3, 2),
      numbered("ImageControl", 2, 0),      numbered("OutMode", 4, 0),
      numbered("Darkness", 31, 15),        numbered("PrintPosition", 41, 20),
      numbered("TearoffPosition", 41, 20), numbered("PrintMirror", 2, 0),
      numbered("PrintSpeed", 12, 3),       numbered("Pause", 3, 0),
  };
  if (withInverse)
    options.push_back(numbered("Inverse", 2, 0));
  return options;
}

std::vector<PpdOption> silvaneOptions()
{
  return {
      numbered("PrintType", 3, 1),
      numbered("PageType", 4, 3),
      {"OutMode",
       "0",
       {"0/Tear off", "1/Rewind", "2/Peel off", "3/Cut", "4cut015/Cut, then feed",
        "5cut120/Cut, then feed more"}},
      numbered("ImageControl", 2, 0),
      numbered("Darkness", 32, 11),
      numbered("PrintPosition", 34, 17),
      {"OutPaperPosition", "0", {"0/0mm", "1/2.5mm", "2/-1.5mm"}},
  };
}

const FakeHost kPlainHost = {"", ""};  // no release banner: no zero-byte run
const FakeHost kUbuntuHost = {"Ubuntu 22.04.4 LTS \\n \\l\n\n", ""};

// A page of rows that exercise both codings: blank runs of awkward lengths, black rows, rows
// repeating the one above, lone dots, long runs of the bytes the DPL code escapes, and noise.
// Bits past the page width are 0, as a raster has them.
Page randomPage(std::mt19937& rng, unsigned width, unsigned height, unsigned dpi = 203)
{
  Page page = blankPage(width, height, dpi);
  const std::size_t bpl = page.header.cupsBytesPerLine;
  auto row = [&](unsigned y) { return page.data.data() + y * bpl; };
  static const unsigned kBlankRuns[] = {1, 2, 13, 14, 16, 31, 32, 33, 253, 254, 255, 508};
  static const unsigned char kRunBytes[] = {0x00, 0xFF, 0xC0, 0xC1, 0xC2, 0xFE, 0x55, 0x0F};

  unsigned y = 0;
  while (y < height) {
    unsigned count = 1;
    switch (rng() % 10) {
      case 0:
        count = std::min(kBlankRuns[rng() % std::size(kBlankRuns)], height - y);
        break;
      case 1:
        std::memset(row(y), 0xFF, bpl);
        break;
      case 2:
        if (y == 0)
          break;
        count = std::min<unsigned>(1 + rng() % 40, height - y);
        for (unsigned k = 0; k < count; k++)
          std::memcpy(row(y + k), row(y - 1), bpl);
        break;
      case 3:
        row(y)[rng() % bpl] = static_cast<unsigned char>(0x80 >> (rng() % 8));
        break;
      case 4:
        for (std::size_t x = 0; x < bpl;) {
          std::size_t run = std::min<std::size_t>(1 + rng() % 140, bpl - x);
          std::memset(row(y) + x, kRunBytes[rng() % std::size(kRunBytes)], run);
          x += run;
        }
        break;
      default:
        for (std::size_t x = 0; x < bpl; x++)
          row(y)[x] = static_cast<unsigned char>(rng());
        break;
    }
    y += count;
  }
  if (width % 8 != 0)
    for (unsigned r = 0; r < height; r++)
      row(r)[bpl - 1] &= static_cast<unsigned char>(0xFF << (8 - width % 8));
  return page;
}

// Seeded pages of the given sizes, one job.
std::vector<Page> randomJob(unsigned seed, const std::vector<std::pair<unsigned, unsigned>>& sizes,
                            unsigned dpi = 203)
{
  std::mt19937 rng(seed);
  std::vector<Page> pages;
  for (const auto& [width, height] : sizes)
    pages.push_back(randomPage(rng, width, height, dpi));
  return pages;
}

struct Pbm {
  unsigned width = 0;
  unsigned height = 0;
  std::string bits;
};

// Reads the "P4\n<width> <height>\n" header that labelpreview writes, then the rows.
bool readPbm(const std::string& bytes, Pbm& pbm)
{
  std::size_t space = bytes.find(' ');
  std::size_t end = bytes.find('\n', 3);
  if (bytes.rfind("P4\n", 0) != 0 || space == std::string::npos || end == std::string::npos ||
      space > end)
    return false;
  unsigned w = static_cast<unsigned>(std::stoul(bytes.substr(3, space - 3)));
  unsigned h = static_cast<unsigned>(std::stoul(bytes.substr(space + 1, end - space - 1)));
  pbm = {w, h, bytes.substr(end + 1)};
  return pbm.bits.size() == static_cast<std::size_t>((w + 7) / 8) * h;
}

bool rasterDot(const Page& page, unsigned x, unsigned y)
{
  unsigned char byte = page.data[y * page.header.cupsBytesPerLine + x / 8];
  return (byte & (0x80 >> (x % 8))) != 0;
}

bool pbmDot(const Pbm& pbm, unsigned x, unsigned y)
{
  unsigned char byte = static_cast<unsigned char>(pbm.bits[y * ((pbm.width + 7) / 8) + x / 8]);
  return (byte & (0x80 >> (x % 8))) != 0;
}

// How the printed label relates to the raster page.
struct Expect {
  bool invert = false;
  bool mirror = false;
  bool turn = false;
  bool wholeBytes = false;  // the label is as wide as the raster's bytes, not its dots
  int top = 0;  // ^LT: the printer moves the page this many dots down the label (up when < 0)
};

// The label top a ZPL job sets (^LT), 0 for a job without one.
int labelTopOf(const std::string& job)
{
  std::size_t at = job.find("^LT");
  return at == std::string::npos ? 0 : std::atoi(job.c_str() + at + 3);
}

// Empty when the label shows the page as expected, else where it first differs.
std::string comparePage(const Page& page, const Pbm& pbm, const Expect& e)
{
  unsigned width = e.wholeBytes ? page.header.cupsBytesPerLine * 8 : page.header.cupsWidth;
  unsigned height = page.header.cupsHeight;
  if (pbm.width != width || pbm.height != height)
    return "label is " + std::to_string(pbm.width) + " x " + std::to_string(pbm.height) +
           " dots, the page " + std::to_string(width) + " x " + std::to_string(height);
  for (unsigned y = 0; y < height; y++)
    for (unsigned x = 0; x < width; x++) {
      unsigned sx = e.mirror != e.turn ? width - 1 - x : x;
      long long sy = static_cast<long long>(e.turn ? height - 1 - y : y) - e.top;
      // Rows the page does not reach are white: the reversing box moves with it.
      bool expected = sy >= 0 && sy < height &&
                      rasterDot(page, sx, static_cast<unsigned>(sy)) != e.invert;
      if (pbmDot(pbm, x, y) != expected)
        return "dot " + std::to_string(x) + "," + std::to_string(y) + " is " +
               (expected ? "white" : "black") + " on the label";
    }
  return "";
}

class RoundTrip : public ::testing::Test {
 protected:
  TempDir dir;
  int runs = 0;

  // Raster file -> filter -> job file -> labelpreview --format pbm; returns the labels and
  // leaves the job's bytes in `job`.  The preview's standard error goes to `previewErr`.
  std::vector<Pbm> roundTrip(const std::string& filter, const std::vector<PpdOption>& ppd,
                             const std::string& jobOptions, const std::vector<Page>& pages,
                             const FakeHost& host)
  {
    std::string name = "run" + std::to_string(++runs);
    std::string raster = dir.file(name + ".ras");
    std::string ppdPath = dir.file(name + ".ppd");
    std::string jobPath = dir.file(name + ".job");
    writeRaster(raster, pages);
    writePpd(ppdPath, ppd);
    TempDir hostDir;
    std::map<std::string, std::string> env = {
        {"PATH", installFakeHost(hostDir, host)}, {"PPD", ppdPath}, {"LANG", "C"}};
    RunResult filtered =
        runProgram(filter, {{"1", "user", "title", "1", jobOptions, raster}, env, "", jobPath});
    EXPECT_EQ(filtered.status, 0) << filtered.err;
    job = readFile(jobPath);
    return preview(jobPath, dir.file(name));
  }

  // labelpreview --format pbm on a job file; returns the labels.
  std::vector<Pbm> preview(const std::string& jobPath, const std::string& prefix)
  {
    RunResult preview =
        runProgram(LABELPREVIEW_PATH, {{"--format", "pbm", "-o", prefix, jobPath}, {}});
    EXPECT_EQ(preview.status, 0) << preview.err;
    previewErr = preview.err;

    std::vector<Pbm> labels;
    for (std::size_t i = 1;; i++) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "-%03zu.pbm", i);
      if (!std::filesystem::exists(prefix + suffix))
        break;
      Pbm pbm;
      EXPECT_TRUE(readPbm(readFile(prefix + suffix), pbm)) << prefix + suffix;
      labels.push_back(pbm);
    }
    return labels;
  }

  void expectPages(const std::vector<Page>& pages, const std::vector<Pbm>& labels, const Expect& e,
                   const std::string& what)
  {
    ASSERT_EQ(labels.size(), pages.size()) << what;
    Expect moved = e;
    moved.top = labelTopOf(job);
    for (std::size_t i = 0; i < pages.size(); i++)
      EXPECT_EQ(comparePage(pages[i], labels[i], moved), "")
          << what << ", page " << i + 1 << " of " << pages[i].header.cupsWidth << " x "
          << pages[i].header.cupsHeight;
  }

  std::string job;
  std::string previewErr;
};

const std::vector<std::vector<std::pair<unsigned, unsigned>>> kJobSizes = {
    {{1, 1}, {7, 5}, {33, 31}},
    {{100, 300}, {100, 300}, {100, 300}},
    {{812, 1218}, {812, 1218}},
    {{8, 33}, {31, 64}, {1000, 7}},
};

TEST_F(RoundTrip, TorvaneGivesBackEveryPage)
{
  struct Case {
    std::string options;
    Expect expect;
  };
  const Case cases[] = {
      {"", {}},
      {"Inverse=1", {.invert = true}},
      {"ImageControl=1", {.turn = true}},
      {"PrintMirror=1", {.mirror = true}},
      {"ImageControl=1 PrintMirror=1 Inverse=1 Darkness=30 PrintSpeed=11 TearoffPosition=0 "
       "PrintPosition=40 OutMode=3 Pause=2 MediaType=0 PageType=0",
       {.invert = true, .mirror = true, .turn = true}},
  };
  unsigned seed = 1;
  for (std::size_t c = 0; c < std::size(cases); c++) {
    const FakeHost& host = c % 2 == 0 ? kPlainHost : kUbuntuHost;
    for (const auto& sizes : kJobSizes) {
      std::vector<Page> pages = randomJob(seed, sizes);
      std::vector<Pbm> labels =
          roundTrip(TORVANE_PATH, torvaneOptions(), cases[c].options, pages, host);
      std::string what = "options \"" + cases[c].options + "\", seed " + std::to_string(seed);
      expectPages(pages, labels, cases[c].expect, what);
      EXPECT_EQ(previewErr, "") << what;
      EXPECT_EQ(job.find_first_not_of('\0'), c % 2 == 0 ? 0u : 512u) << what;
      seed++;
    }
  }
}

// The job with the hex data of every ~DG replaced by Z64 data of the same bitmap.
std::string withZ64Data(const std::string& job)
{
  std::string out;
  std::size_t from = 0;
  for (;;) {
    std::size_t at = job.find("~DG000.GRF,", from);
    if (at == std::string::npos)
      return out + job.substr(from);
    std::size_t comma1 = job.find(',', at);
    std::size_t comma2 = job.find(',', comma1 + 1);
    std::size_t comma3 = job.find(',', comma2 + 1);
    std::size_t end = job.find('^', comma3);
    std::uint64_t total = std::stoull(job.substr(comma1 + 1, comma2 - comma1 - 1));
    std::uint64_t rowBytes = std::stoull(job.substr(comma2 + 1, comma3 - comma2 - 1));
    std::vector<unsigned char> bitmap(total);
    std::uint64_t produced = total;
    EXPECT_EQ(GRFDataDecompress(job.data() + comma3 + 1, end - comma3 - 1, rowBytes, bitmap.data(),
                                &produced),
              0);
    EXPECT_EQ(produced, total);
    char* text = nullptr;
    std::uint64_t length = 0;
    EXPECT_EQ(GRFDataZ64Encode(bitmap.data(), total, rowBytes, &text, &length), 0);
    out += job.substr(from, comma3 + 1 - from) + std::string(text, length) + "\r\n";
    FreeReallocMemory(&text);
    from = end;
  }
}

// The same seeded pages with their downloads in Z64 instead of hex print the same labels.
TEST_F(RoundTrip, TorvaneJobsWithZ64DataGiveBackEveryPage)
{
  const std::pair<const char*, Expect> cases[] = {
      {"", {}},
      {"ImageControl=1 PrintMirror=1 Inverse=1", {.invert = true, .mirror = true, .turn = true}},
  };
  unsigned seed = 1;
  for (const auto& [options, expect] : cases)
    for (const auto& sizes : kJobSizes) {
      std::vector<Page> pages = randomJob(seed, sizes);
      roundTrip(TORVANE_PATH, torvaneOptions(), options, pages, kPlainHost);
      std::string z64 = withZ64Data(job);
      std::string what = "options \"" + std::string(options) + "\", seed " + std::to_string(seed);
      ASSERT_EQ(z64.find("~DG000.GRF,"), job.find("~DG000.GRF,")) << what;
      EXPECT_NE(z64.find(",:Z64:eJ"), std::string::npos) << what;
      EXPECT_LT(z64.size(), job.size()) << what;
      std::string path = dir.file("z64-" + std::to_string(seed) + ".job");
      writeFile(path, z64);
      expectPages(pages, preview(path, dir.file("z64-" + std::to_string(seed))), expect, what);
      EXPECT_EQ(previewErr, "") << what;
      seed++;
    }
}

// The reversing box is as wide as the graphic's bytes times the dots per millimetre, which
// at 300 dpi and above is wider than the graphic: cut at the label's width it still reverses
// exactly the page.
TEST_F(RoundTrip, TorvaneReversesPagesAtEveryResolution)
{
  for (unsigned dpi : {300u, 600u}) {
    std::vector<Page> pages = randomJob(100 + dpi, {{33, 40}, {300, 65}}, dpi);
    std::vector<Pbm> labels =
        roundTrip(TORVANE_PATH, torvaneOptions(), "Inverse=1", pages, kPlainHost);
    expectPages(pages, labels, {.invert = true}, std::to_string(dpi) + " dpi");
  }
}

// Without an Inverse option the graphic's padding is filled black but never reversed; the
// label's width and length must cut it off.
TEST_F(RoundTrip, TorvaneWithoutInverseOptionShowsNoPadding)
{
  std::vector<Page> pages = randomJob(200, {{33, 31}, {1, 1}, {100, 70}});
  std::vector<Pbm> labels = roundTrip(TORVANE_PATH, torvaneOptions(false), "", pages, kPlainHost);
  expectPages(pages, labels, {}, "no Inverse option");
}

// Jobs of seeded random sizes, 1 to 4 pages each, under random settings.
TEST_F(RoundTrip, TorvaneRandomSizesAndSettings)
{
  const std::pair<const char*, Expect> settings[] = {
      {"", {}},
      {"Inverse=1 Darkness=0 PrintSpeed=1", {.invert = true}},
      {"ImageControl=1 OutMode=2 Pause=1", {.turn = true}},
      {"PrintMirror=1 TearoffPosition=21 PrintPosition=19", {.mirror = true}},
      {"Inverse=1 PrintMirror=1 MediaType=2 PageType=1", {.invert = true, .mirror = true}},
  };
  std::mt19937 rng(4242);
  for (int n = 0; n < 30; n++) {
    std::vector<std::pair<unsigned, unsigned>> sizes(1 + rng() % 4);
    for (auto& [width, height] : sizes)
      width = 1 + rng() % 900, height = 1 + rng() % 500;
    const auto& [options, expect] = settings[rng() % std::size(settings)];
    unsigned seed = static_cast<unsigned>(rng());
    std::vector<Page> pages = randomJob(seed, sizes);
    std::vector<Pbm> labels = roundTrip(TORVANE_PATH, torvaneOptions(), options, pages,
                                        n % 3 == 0 ? kUbuntuHost : kPlainHost);
    expectPages(pages, labels, expect,
                "options \"" + std::string(options) + "\", seed " + std::to_string(seed));
  }
}

// A raster that ends inside a page leaves rows the filter never received; they print white
// whatever the Inverse setting, also when the PPD lacks the option.
// Without the Inverse option the bitmap is filled black; the fill below the page must be
// clipped away, never printed.
TEST_F(RoundTrip, TorvanePageWithoutInverseOption)
{
  Page page = blankPage(16, 4);
  page.data[0] = 0x80;
  std::vector<Pbm> labels = roundTrip(TORVANE_PATH, torvaneOptions(false), "", {page}, kPlainHost);
  ASSERT_EQ(labels.size(), 1u);
  EXPECT_EQ(hexDiff(hexBytes("80 00  00 00  00 00  00 00"), labels[0].bits), "identical");
}

#ifdef SILVANE_PATH

TEST_F(RoundTrip, SilvaneGivesBackEveryPage)
{
  const std::vector<std::vector<std::pair<unsigned, unsigned>>> jobs = {
      {{1, 1}},      {{7, 5}, {7, 5}}, {{33, 31}, {33, 31}, {33, 31}}, {{100, 300}, {100, 300}},
      {{812, 1218}}, {{4200, 40}},  // lines of 525 bytes, more than half the filter's first code
                                    // buffer
  };
  const std::string cases[] = {
      "",
      "Darkness=31 PrintPosition=1 OutMode=4cut015 OutPaperPosition=1 PrintType=2 PageType=1",
      "Darkness=0 PrintPosition=33 OutMode=2 OutPaperPosition=2 ImageControl=1 PageType=0",
  };
  unsigned seed = 1000;
  for (std::size_t c = 0; c < std::size(cases); c++) {
    const FakeHost& host = c % 2 == 0 ? kPlainHost : kUbuntuHost;
    for (const auto& sizes : jobs) {
      std::vector<Page> pages = randomJob(seed, sizes);
      std::vector<Pbm> labels = roundTrip(SILVANE_PATH, silvaneOptions(), cases[c], pages, host);
      std::string what = "options \"" + cases[c] + "\", seed " + std::to_string(seed);
      expectPages(pages, labels, {.wholeBytes = true}, what);
      EXPECT_EQ(previewErr, "") << what;
      EXPECT_EQ(job.find_first_not_of('\0'), c % 2 == 0 ? 0u : 512u) << what;
      seed++;
    }
  }
}

// Jobs of seeded random sizes, 1 to 3 pages of one size each, under random settings.
TEST_F(RoundTrip, SilvaneRandomSizesAndSettings)
{
  const char* settings[] = {
      "",
      "Darkness=20 PrintPosition=16 OutMode=5cut120 OutPaperPosition=2",
      "PrintType=0 PageType=2 OutMode=1 OutPaperPosition=1",
      "ImageControl=1 OutMode=3 Darkness=1",
  };
  std::mt19937 rng(4343);
  for (int n = 0; n < 30; n++) {
    unsigned width = 1 + rng() % 900;
    unsigned height = 1 + rng() % 500;
    std::vector<std::pair<unsigned, unsigned>> sizes(1 + rng() % 3, {width, height});
    const char* options = settings[rng() % std::size(settings)];
    unsigned seed = static_cast<unsigned>(rng());
    std::vector<Page> pages = randomJob(seed, sizes);
    std::vector<Pbm> labels = roundTrip(SILVANE_PATH, silvaneOptions(), options, pages,
                                        n % 3 == 0 ? kUbuntuHost : kPlainHost);
    expectPages(pages, labels, {.wholeBytes = true},
                "options \"" + std::string(options) + "\", seed " + std::to_string(seed));
    EXPECT_EQ(previewErr, "");
  }
}

// Blank runs of the lengths whose codes border the special ones, between printed lines and
// at the bottom of the page.
TEST_F(RoundTrip, SilvaneBlankRunsOfEveryAwkwardLength)
{
  Page page = blankPage(16, 1);
  page.data.clear();
  auto addLine = [&](unsigned char first) {
    page.data.push_back(first);
    page.data.push_back(0x01);
  };
  addLine(0xFF);
  for (unsigned gap : {1u, 2u, 14u, 16u, 253u, 254u, 255u, 268u, 270u, 508u, 509u, 600u}) {
    page.data.insert(page.data.end(), 2 * gap, 0x00);
    addLine(0x80);
  }
  page.data.insert(page.data.end(), 2 * 254, 0x00);
  page.header = makeHeader(16, static_cast<unsigned>(page.data.size() / 2));
  std::vector<Pbm> labels = roundTrip(SILVANE_PATH, silvaneOptions(), "", {page}, kPlainHost);
  expectPages({page}, labels, {.wholeBytes = true}, "blank runs");
}

// A run of 15 blank lines must not be coded as FF 0F, the code that ends the image.
TEST_F(RoundTrip, SilvaneBlankRunsOfFifteenLines)
{
  for (unsigned gap : {15u, 269u}) {
    Page page = blankPage(8, gap + 2);
    page.data.front() = 0x80;
    page.data.back() = 0x80;
    std::vector<Pbm> labels = roundTrip(SILVANE_PATH, silvaneOptions(), "", {page}, kPlainHost);
    expectPages({page}, labels, {.wholeBytes = true}, std::to_string(gap) + " blank lines");
  }
}

// The label-size command keeps four digits; the preview takes the length from the image and
// says that the two differ.
// The tallest label the label-size command can say.
TEST_F(RoundTrip, SilvanePageOfMostLines)
{
  std::vector<Page> pages = randomJob(3000, {{8, 9999}});
  std::vector<Pbm> labels = roundTrip(SILVANE_PATH, silvaneOptions(), "", pages, kPlainHost);
  expectPages(pages, labels, {.wholeBytes = true}, "9999 lines");
  EXPECT_EQ(previewErr, "");
}

#endif  // SILVANE_PATH

}  // namespace
