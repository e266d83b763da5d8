// app_preview_test.cpp: the label previews of the printer application's web page (the capture
// of a job's bytes, the shelf of the last jobs, the labels drawn from them) and the test label.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "jobpreview.h"
#include "settings.h"
#include "pngcheck.h"
#include "preview.h"
#include "testlabel.h"
#include "testsupport.h"
#include "zplrender.h"

#include <cstdint>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

using namespace app;
using namespace pngcheck;

namespace {

int appendTo(void* context, const unsigned char* data, std::size_t length)
{
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), length);
  return 0;
}

// A page with a frame, a diagonal and a filled square, `tag` dots from the left.
LabelBitmap drawnPage(unsigned width, unsigned height, unsigned tag)
{
  LabelBitmap page = blankBitmap(width, height);
  for (unsigned y = 0; y < height; y++) {
    for (unsigned x = 0; x < width; x++) {
      bool frame = x < 3 || y < 3 || x + 3 >= width || y + 3 >= height;
      bool square = x >= tag && x < tag + 20 && y >= 40 && y < 60;
      if (frame || square || x == y)
        page.bits[y * page.bytesPerLine + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
    }
  }
  return page;
}

// What the application's encoder sends for these pages with the default label values.
std::string encoded(Language language, const std::vector<LabelBitmap>& pages, int dpi = 203)
{
  std::string out;
  ByteSink sink{appendTo, &out};
  LabelValues values;
  zpl::Job zplJob;
  dpl::Job dplJob;
  bool zplJobs = language == Language::zpl;
  if (zplJobs)
    zpl::startJob(zplJob, zpl::settingsFromValues(zplValues(values)), dpi, false, 1, sink);
  else
    dpl::startJob(dplJob, dpl::settingsFromValues(dplValues(values)), dpi, false, 1, sink);
  for (const LabelBitmap& bitmap : pages) {
    PageSize page{bitmap.width, bitmap.height, bitmap.bytesPerLine, dpi};
    EXPECT_EQ(Status::ok, zplJobs ? zpl::startPage(zplJob, page) : dpl::startPage(dplJob, page));
    for (unsigned y = 0; y < bitmap.height; y++) {
      const unsigned char* row = bitmap.bits.data() + static_cast<std::size_t>(y) * bitmap.bytesPerLine;
      zplJobs ? zpl::writeRow(zplJob, row) : dpl::writeRow(dplJob, row);
    }
    EXPECT_EQ(Status::ok, zplJobs ? zpl::finishPage(zplJob) : dpl::finishPage(dplJob));
  }
  EXPECT_EQ(Status::ok, zplJobs ? zpl::finishJob(zplJob) : dpl::finishJob(dplJob));
  return out;
}

// Preview turns for the tests that do not count them.
PreviewTurns& turns()
{
  static PreviewTurns plenty;
  plenty.most = 8;
  return plenty;
}

// The renderer just built, with the server's default limits.
RendererOptions renderer()
{
  RendererOptions options;
  options.program = LABEL_RENDER_PATH;
  return options;
}

KeptJob keptFrom(const std::string& bytes, int id = 1, int dpi = 203)
{
  JobCapture capture;
  captureBytes(capture, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  KeptJob job;
  job.id = id;
  job.name = "job " + std::to_string(id);
  job.dpi = dpi;
  job.total = capture.total;
  job.tooLarge = capture.tooLarge;
  job.bytes = std::move(capture.bytes);
  return job;
}

std::string settingValue(const std::vector<Setting>& settings, const std::string& name)
{
  for (const Setting& s : settings) {
    if (s.name == name)
      return s.value;
  }
  return "(missing)";
}

TEST(JobCapture, KeepsBytesUpToTheLimitThenOnlyCounts)
{
  JobCapture capture;
  const unsigned char data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  captureBytes(capture, data, 6, 12);
  captureBytes(capture, data, 6, 12);
  EXPECT_FALSE(capture.tooLarge);
  EXPECT_EQ(12u, capture.bytes.size());
  EXPECT_EQ(6, capture.bytes[11]);

  // One byte more and the job is past showing: nothing of it is kept, all of it counted.
  captureBytes(capture, data, 1, 12);
  captureBytes(capture, data, 10, 12);
  EXPECT_TRUE(capture.tooLarge);
  EXPECT_TRUE(capture.bytes.empty());
  EXPECT_EQ(23u, capture.total);

  KeptJob job;
  job.tooLarge = capture.tooLarge;
  job.total = capture.total;
  JobSummary summary = summarizeJob(job, renderer(), turns());
  EXPECT_NE(std::string::npos, summary.problem.find("too large to preview")) << summary.problem;
  EXPECT_EQ(0, summary.labels);
  std::string png, error;
  EXPECT_FALSE(labelPng(job, 1, renderer(), turns(), png, error));
}

TEST(PreviewShelf, KeepsTheLastJobsWithinTheirBytes)
{
  auto shelf = std::make_unique<PreviewShelf>();
  auto job = [](int id, std::size_t size) {
    KeptJob j;
    j.id = id;
    j.bytes.assign(size, '^');
    return j;
  };
  for (int id = 1; id <= 6; id++)
    keepJob(*shelf, job(id, 10), 4, 100);

  std::vector<int> ids;
  for (const auto& j : keptJobs(*shelf))
    ids.push_back(j->id);
  EXPECT_EQ((std::vector<int>{6, 5, 4, 3}), ids);
  EXPECT_EQ(nullptr, findKeptJob(*shelf, 2));
  ASSERT_NE(nullptr, findKeptJob(*shelf, 4));

  // A large job pushes older ones out by their bytes; a job above the bound alone stays.
  keepJob(*shelf, job(7, 85), 4, 100);
  EXPECT_EQ(2u, keptJobs(*shelf).size());
  keepJob(*shelf, job(8, 500), 4, 100);
  ASSERT_EQ(1u, keptJobs(*shelf).size());
  EXPECT_EQ(8, keptJobs(*shelf)[0]->id);

  // A job read by a page stays whole after its printer (and shelf) is gone.
  auto held = findKeptJob(*shelf, 8);
  shelf.reset();
  ASSERT_NE(nullptr, held);
  EXPECT_EQ(500u, held->bytes.size());
}

TEST(PreviewShelf, JobsEndWhileClientsRead)
{
  PreviewShelf shelves[3];
  std::string bytes = encoded(Language::zpl, {drawnPage(120, 80, 30)});
  std::vector<std::thread> threads;
  for (int printer = 0; printer < 3; printer++) {
    threads.emplace_back([&, printer] {
      for (int id = 1; id <= 30; id++)
        keepJob(shelves[printer], keptFrom(bytes, id));
    });
  }
  std::size_t wrong = 0;
  threads.emplace_back([&] {
    for (int round = 0; round < 30; round++) {
      for (PreviewShelf& shelf : shelves) {
        for (const auto& job : keptJobs(shelf))
          wrong += summarizeJob(*job, renderer(), turns()).labels != 1;
      }
    }
  });
  for (std::thread& t : threads)
    t.join();
  for (PreviewShelf& shelf : shelves)
    EXPECT_EQ(kPreviewJobs, keptJobs(shelf).size());
  EXPECT_EQ(0u, wrong);
}

// The PNG of each label is the label the encoder's bytes print, dot for dot, for both
// languages; the page's words name the size and the settings.
TEST(JobPreview, LabelsAreDrawnFromTheBytesSent)
{
  for (Language language : {Language::zpl, Language::dpl}) {
    SCOPED_TRACE(language == Language::zpl ? "zpl" : "dpl");
    std::vector<LabelBitmap> pages = {drawnPage(200, 120, 20), drawnPage(200, 120, 90)};
    std::string bytes = encoded(language, pages);
    KeptJob kept = keptFrom(bytes);

    LabelJob job;
    JobError error;
    ASSERT_TRUE(parseLabelJob(kept.bytes, job, error)) << error.what;
    ASSERT_EQ(2u, job.labels.size());
    for (int n = 1; n <= 2; n++) {
      std::string png, why;
      ASSERT_TRUE(labelPng(kept, n, renderer(), turns(), png, why)) << why;
      const LabelImage& label = job.labels[n - 1].image;
      EXPECT_EQ(0u, differingDots(decodePng(png), label.width, label.height, label.rowBytes, label.bits));
      // The label printed holds the page: its square is where the page has it.
      EXPECT_TRUE(labelDot(label, n == 1 ? 25 : 95, 50));
      EXPECT_FALSE(labelDot(label, n == 1 ? 95 : 25, 50));
    }
    std::string png, why;
    EXPECT_FALSE(labelPng(kept, 3, renderer(), turns(), png, why));
    EXPECT_FALSE(labelPng(kept, 0, renderer(), turns(), png, why));

    JobSummary summary = summarizeJob(kept, renderer(), turns());
    EXPECT_EQ("", summary.problem);
    EXPECT_EQ(2, summary.labels);
    EXPECT_FALSE(summary.moreLabels);
    ASSERT_EQ(2u, summary.settings.size());
    std::string size = settingValue(summary.settings[0], "Size");
    EXPECT_EQ(0u, size.find(std::to_string(job.labels[0].image.width) + " x ")) << size;
    EXPECT_NE(std::string::npos, size.find("mm at 203 dpi")) << size;
    for (const char* name : {"Darkness", "Speed", "Media", "Mode", "Orientation"})
      EXPECT_NE("(missing)", settingValue(summary.settings[0], name)) << name;
    EXPECT_NE(std::string::npos, summary.description.find("label 2")) << summary.description;
    if (language == Language::zpl) {
      EXPECT_EQ(0u, settingValue(summary.settings[0], "Mode").find("tear-off"))
          << settingValue(summary.settings[0], "Mode");
    }
  }
}

TEST(JobPreview, AJobOfManyLabelsShowsTheFirstFew)
{
  std::vector<LabelBitmap> pages(kPreviewLabels + 2, drawnPage(64, 64, 10));
  KeptJob kept = keptFrom(encoded(Language::zpl, pages));
  JobSummary summary = summarizeJob(kept, renderer(), turns());
  EXPECT_EQ(kPreviewLabels, summary.labels);
  EXPECT_TRUE(summary.moreLabels);
  EXPECT_EQ(static_cast<std::size_t>(kPreviewLabels), summary.settings.size());
  EXPECT_NE(std::string::npos, summary.description.find("more labels")) << summary.description;
  std::string png, error;
  EXPECT_TRUE(labelPng(kept, kPreviewLabels, renderer(), turns(), png, error)) << error;
  EXPECT_FALSE(labelPng(kept, kPreviewLabels + 1, renderer(), turns(), png, error));
}

// Bytes that are no label job, or a job cut short: a reason on the page, the labels read
// before the fault still drawn.
TEST(JobPreview, BrokenJobsGiveAReason)
{
  KeptJob text = keptFrom("hello, printer");
  JobSummary summary = summarizeJob(text, renderer(), turns());
  EXPECT_NE(std::string::npos, summary.problem.find("cannot be read")) << summary.problem;
  EXPECT_EQ(0, summary.labels);

  KeptJob empty;
  EXPECT_FALSE(summarizeJob(empty, renderer(), turns()).problem.empty());
  std::string png, error;
  EXPECT_FALSE(labelPng(empty, 1, renderer(), turns(), png, error));
  EXPECT_FALSE(error.empty());

  std::string two = encoded(Language::zpl, {drawnPage(100, 60, 10), drawnPage(100, 60, 50)});
  std::size_t second = two.rfind("~DG");
  ASSERT_NE(std::string::npos, second);
  KeptJob cut = keptFrom(two.substr(0, second + 40));
  summary = summarizeJob(cut, renderer(), turns());
  EXPECT_GE(summary.labels, 1);
  EXPECT_TRUE(labelPng(cut, 1, renderer(), turns(), png, error)) << error;
}

TEST(TestLabel, FramesTheLabelAtThePrintersSize)
{
  EXPECT_EQ(812u, labelDots(10160, 203));
  EXPECT_EQ(1800u, labelDots(15240, 300));
  EXPECT_EQ(455u, labelDots(5700, 203));  // rounded down, as the job's pages are
  EXPECT_EQ(0u, labelDots(-5, 203));

  LabelBitmap label = testLabel(812, 1218, 203);
  ASSERT_EQ(812u, label.width);
  ASSERT_EQ(1218u, label.height);
  ASSERT_EQ(102u, label.bytesPerLine);
  auto dot = [&](unsigned x, unsigned y) {
    return (label.bits[y * label.bytesPerLine + x / 8] & (0x80 >> (x % 8))) != 0;
  };
  // The frame touches every edge; inside it the label is neither blank nor solid; the bars
  // include single dots (a black dot with white on both sides).
  EXPECT_TRUE(dot(0, 0) && dot(811, 0) && dot(0, 1217) && dot(811, 1217) && dot(405, 1217));
  std::size_t black = 0, single = 0;
  for (unsigned y = 20; y < 1198; y++) {
    for (unsigned x = 20; x < 792; x++) {
      black += dot(x, y);
      single += dot(x, y) && !dot(x - 1, y) && !dot(x + 1, y);
    }
  }
  std::size_t inside = (1198 - 20) * (792 - 20);
  EXPECT_GT(black, inside / 10);
  EXPECT_LT(black, inside / 2);
  EXPECT_GT(single, 1000u);
  // Bits past the width stay 0.
  LabelBitmap odd = testLabel(13, 40, 203);
  for (unsigned y = 0; y < odd.height; y++)
    EXPECT_EQ(0, odd.bits[y * odd.bytesPerLine + 1] & 0x07) << y;

  std::string png, error;
  ASSERT_TRUE(testLabelPng(label, 203, png, error)) << error;
  EXPECT_EQ(0u, differingDots(decodePng(png), label.width, label.height, label.bytesPerLine, label.bits));

  // Labels too small for the bands, or of no size, are drawn without faults.
  for (unsigned side : {0u, 1u, 2u, 9u, 17u, 33u}) {
    LabelBitmap small = testLabel(side, side + 3, 300);
    EXPECT_EQ(static_cast<std::size_t>((side + 7) / 8) * (side + 3), small.bits.size());
  }
  EXPECT_FALSE(testLabelPng(testLabel(0, 0, 203), 203, png, error));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Raw ZPL from a client

namespace {

// What zxing-cpp reads on a PNG the page serves: "format<TAB>text" lines.
std::string readBarcodes(const std::string& png)
{
  Grey grey = decodePng(png);
  if (grey.dots.empty())
    return "(not a PNG)";
  testsupport::TempDir dir;
  std::string pgm = "P5\n" + std::to_string(grey.width) + " " + std::to_string(grey.height) + "\n255\n";
  pgm.append(grey.dots.begin(), grey.dots.end());
  testsupport::writeFile(dir.file("label.pgm"), pgm);
  std::string out;
  if (FILE* pipe = popen(("/usr/bin/python3 " READCODES_PATH " " + dir.file("label.pgm") + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// The job drawn directly by the ZPL renderer with the label font, as a printer of `dpi` draws it.
zplrender::Label drawnDirectly(const std::string& zpl, int dpi)
{
  std::ifstream file(zplrender::kLabelFontPath, std::ios::binary);
  std::vector<std::uint8_t> font{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::string error;
  zplrender::Options options;
  options.dpi = dpi;
  options.font = zplrender::loadLabelFont(std::move(font), error);
  zplrender::Result result;
  EXPECT_TRUE(options.font) << error;
  EXPECT_TRUE(zplrender::renderZpl({reinterpret_cast<const std::uint8_t*>(zpl.data()), zpl.size()},
                                   options, result))
      << result.error;
  return result.labels.empty() ? zplrender::Label{} : result.labels[0];
}

const std::string kBoxAndBarcode =
    "\r\n^XA^PW480^LL320^FO20,20^GB440,280,4^FS"
    "^FO60,60^BY2^BCN,120,Y,N,N^FDLP-4711-23^FS"
    "^FO60,240^A0N,30,30^FDShip to bay 7^FS^MMT^PR4~SD20^XZ\r\n";

}  // namespace

// A client's raw ZPL job is drawn as the printer draws it: the page's PNG is the renderer's
// drawing dot for dot, its barcode reads back, its settings and fields are listed.
TEST(JobPreview, RawZplIsDrawnAsThePrinterDrawsIt)
{
  KeptJob kept = keptFrom(kBoxAndBarcode);
  JobSummary summary = summarizeJob(kept, renderer(), turns());
  EXPECT_EQ("", summary.problem);
  ASSERT_EQ(1, summary.labels);
  EXPECT_EQ(0u, settingValue(summary.settings[0], "Size").find("480 x 320 dots"))
      << settingValue(summary.settings[0], "Size");
  EXPECT_EQ(0u, settingValue(summary.settings[0], "Darkness").find("20 of 30 (~SD20)"));
  EXPECT_EQ(0u, settingValue(summary.settings[0], "Mode").find("tear-off (^MMT)"));
  EXPECT_NE(std::string::npos, summary.description.find("LP-4711-23")) << summary.description;
  EXPECT_NE(std::string::npos, summary.description.find("^BC")) << summary.description;

  std::string png, error;
  ASSERT_TRUE(labelPng(kept, 1, renderer(), turns(), png, error)) << error;
  zplrender::Label direct = drawnDirectly(kBoxAndBarcode, 203);
  EXPECT_EQ(0u, differingDots(decodePng(png), static_cast<unsigned>(direct.image.width),
                              static_cast<unsigned>(direct.image.height), direct.image.rowBytes,
                              direct.image.bits));
  // The box's top edge and the text are drawn; the barcode reads back.
  Grey grey = decodePng(png);
  ASSERT_EQ(480u, grey.width);
  EXPECT_EQ(0, grey.dots[21 * 480 + 240]);
  EXPECT_NE(std::string::npos, readBarcodes(png).find("Code128\tLP-4711-23")) << readBarcodes(png);
  EXPECT_FALSE(labelPng(kept, 2, renderer(), turns(), png, error));
}

// Without ^PW and ^LL the label is the printer's media at its resolution; a job the renderer
// refuses shows why, and a job of many copies shows the first few.  (Each has a text field:
// jobs of boxes and graphics alone are read as our own encoder's.)
TEST(JobPreview, RawZplTakesThePrintersMediaAndLimits)
{
  KeptJob kept = keptFrom("^XA^FO10,10^GB100,50,50^FS^FO10,80^A0N,20,20^FDx^FS^XZ");
  kept.dpi = 300;
  kept.mediaWidth = 600;
  kept.mediaHeight = 450;
  JobSummary summary = summarizeJob(kept, renderer(), turns());
  ASSERT_EQ(1, summary.labels) << summary.problem;
  EXPECT_EQ(0u, settingValue(summary.settings[0], "Size").find("600 x 450 dots, 50.8 x 38.1 mm at 300 dpi"))
      << settingValue(summary.settings[0], "Size");

  KeptJob copies = keptFrom("^XA^PW200^LL100^FO10,10^A0N,20,20^FDx^FS^PQ99999999^XZ");
  summary = summarizeJob(copies, renderer(), turns());
  EXPECT_EQ(kPreviewLabels, summary.labels);
  EXPECT_TRUE(summary.moreLabels);

  KeptJob huge = keptFrom("^XA^PW32000^LL32000^FO0,0^GB32000,32000,32000^FS^FO9,9^A0N,20,20^FDx^FS^XZ");
  summary = summarizeJob(huge, renderer(), turns());
  EXPECT_EQ(0, summary.labels);
  EXPECT_NE(std::string::npos, summary.problem.find("32000 x 32000")) << summary.problem;
  std::string png, error;
  EXPECT_FALSE(labelPng(huge, 1, renderer(), turns(), png, error));
}

namespace {

JobSummary twoLabels()
{
  JobSummary summary;
  summary.problem = "The job cannot be read past byte 90 (label 3): ^GF cut short";
  summary.labels = 2;
  summary.moreLabels = true;
  summary.settings = {{{"Size", "600 x 400 dots"}, {"Darkness", "20 of 30 (~SD20)"}},
                      {{"Size", "812 x 1218 dots"}}};
  summary.description = "Label 1: \xC3\x84rger & <Co>\nLabel 2\n";
  return summary;
}

void expectSame(const JobSummary& want, const JobSummary& got)
{
  EXPECT_EQ(want.problem, got.problem);
  EXPECT_EQ(want.labels, got.labels);
  EXPECT_EQ(want.moreLabels, got.moreLabels);
  ASSERT_EQ(want.settings.size(), got.settings.size());
  for (std::size_t n = 0; n < want.settings.size(); n++) {
    ASSERT_EQ(want.settings[n].size(), got.settings[n].size());
    for (std::size_t i = 0; i < want.settings[n].size(); i++) {
      EXPECT_EQ(want.settings[n][i].name, got.settings[n][i].name);
      EXPECT_EQ(want.settings[n][i].value, got.settings[n][i].value);
    }
  }
  EXPECT_EQ(want.description, got.description);
}

bool decodes(const std::string& record, JobSummary& summary, std::string& error)
{
  return decodeSummary({reinterpret_cast<const unsigned char*>(record.data()), record.size()}, summary, error);
}

std::string word(std::uint32_t value)
{
  unsigned char bytes[4];
  putWord(bytes, value);
  return std::string(reinterpret_cast<const char*>(bytes), 4);
}

// A renderer of our own making: a shell script in `dir`.
RendererOptions scriptRenderer(const testsupport::TempDir& dir, const std::string& script)
{
  std::string path = dir.file("renderer.sh");
  std::ofstream(path) << "#!/bin/sh\n" << script << "\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  RendererOptions options;
  options.program = path;
  return options;
}

}  // namespace

// The summary goes from the renderer to the server as a record: read back as it was written;
// a record cut anywhere, or whose lengths and counts lie, is refused and not read past its end.
TEST(PreviewRecord, ASummaryComesBackWholeOrIsRefused)
{
  JobSummary summary = twoLabels(), got;
  std::string record = encodeSummary(summary), error;
  ASSERT_TRUE(decodes(record, got, error)) << error;
  expectSame(summary, got);

  for (std::size_t length = 0; length < record.size(); length++)
    EXPECT_FALSE(decodes(record.substr(0, length), got, error)) << length;
  EXPECT_FALSE(decodes(record + "x", got, error));
  EXPECT_EQ("bytes after the summary", error);

  // The problem's length says 4 GiB.
  std::string lying = record;
  lying.replace(0, 4, word(0xFFFFFFFF));
  EXPECT_FALSE(decodes(lying, got, error));
  // Five labels; a label of 17 settings.
  std::string labels = word(0) + word(kPreviewLabels + 1) + word(0) + word(0);
  EXPECT_FALSE(decodes(labels, got, error));
  EXPECT_EQ("a summary of 5 labels", error);
  std::string settings = word(0) + word(1) + word(0) + word(kSummarySettings + 1) + word(0);
  EXPECT_FALSE(decodes(settings, got, error));
  EXPECT_EQ("a label of 17 settings", error);
  EXPECT_FALSE(decodes(std::string(kSummaryLimit + 1, '\0'), got, error));

  // A description too long for a record is cut, whole characters, with a line that says so.
  summary.description = std::string(kSummaryLimit - 3, 'a') + "\xC3\x84\xC3\x84\xC3\x84";
  record = encodeSummary(summary);
  EXPECT_LE(record.size(), kSummaryLimit);
  ASSERT_TRUE(decodes(record, got, error)) << error;
  EXPECT_NE(std::string::npos, got.description.find("The account is cut here"));
  std::size_t cut = got.description.find('\n');
  EXPECT_EQ(std::string::npos, got.description.substr(0, cut).find('\xC3'));
}

// The renderer draws the preview in a process of its own: one that crashes, sends a record
// longer than the server takes, hangs or runs out of memory gives the page its reason, and
// no image; the server (this test) goes on.
TEST(JobPreview, ARendererThatFailsGivesThePageItsReason)
{
  testsupport::TempDir dir;
  KeptJob kept = keptFrom(kBoxAndBarcode);
  std::string png, error;
  const struct {
    const char* script;
    const char* problem;
  } cases[] = {
      {"kill -SEGV $$", "The preview could not be drawn: the renderer stopped unexpectedly (signal 11)."},
      {"printf 'LBRS\\003\\000\\000\\000SUMM\\377\\377\\377\\377'",
       "The preview could not be drawn: the renderer sent damaged data (a record of 4294967295 bytes)."},
      {"printf 'LBRS\\002\\000\\000\\000'",
       "The preview could not be drawn: the renderer sent damaged data (not a label-render stream of version 3)."},
      {"exec sleep 60", "The preview could not be drawn: it took longer than 1 s."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    RendererOptions options = scriptRenderer(dir, c.script);
    options.pageSeconds = 1;
    EXPECT_EQ(c.problem, summarizeJob(kept, options, turns()).problem);
    EXPECT_FALSE(labelPng(kept, 1, options, turns(), png, error));
  }
  RendererOptions missing;
  missing.program = dir.file("no-such-renderer");
  EXPECT_EQ(0u, summarizeJob(kept, missing, turns()).problem.find("The preview could not be drawn: the renderer "))
      << summarizeJob(kept, missing, turns()).problem;

  // The real renderer with 64 MiB: a label of 50 MB of dots does not fit.
  RendererOptions small = renderer();
  small.memoryBytes = std::size_t{64} << 20;
  KeptJob huge = keptFrom("^XA^PW20000^LL20000^FO0,0^GB10,10,5^FS^FO9,9^A0N,20,20^FDx^FS^XZ");
  EXPECT_EQ("The preview could not be drawn: it needs more than the 64 MiB of memory allowed.",
            summarizeJob(huge, small, turns()).problem);
  EXPECT_FALSE(labelPng(huge, 1, small, turns(), png, error));
  // ... while a label of the usual size does.
  JobSummary summary = summarizeJob(kept, small, turns());
  EXPECT_EQ("", summary.problem);
  EXPECT_EQ(1, summary.labels);
  EXPECT_TRUE(labelPng(kept, 1, small, turns(), png, error)) << error;
}

// Page views take turns for the renderer: with every turn taken, a view waits its while and is
// told so without starting one (a renderer that would crash shows it was never run); once a
// turn is free, it draws.
TEST(JobPreview, ViewsTakeTurnsForTheRenderer)
{
  testsupport::TempDir dir;
  KeptJob kept = keptFrom(kBoxAndBarcode);
  PreviewTurns busy;
  busy.most = 1;
  busy.running = 1;
  busy.wait = std::chrono::milliseconds(50);
  RendererOptions crashing = scriptRenderer(dir, "kill -SEGV $$");
  EXPECT_EQ("The preview could not be drawn: the server is drawing other previews; try again in a "
            "moment.",
            summarizeJob(kept, crashing, busy).problem);
  std::string png, error;
  EXPECT_FALSE(labelPng(kept, 1, crashing, busy, png, error));
  EXPECT_EQ(1, busy.running);

  // A turn freed while a view waits for it: the view draws, and gives the turn back.
  busy.wait = std::chrono::milliseconds(60000);
  std::thread view([&] { EXPECT_TRUE(labelPng(kept, 1, renderer(), busy, png, error)) << error; });
  {
    std::lock_guard<std::mutex> hold(busy.lock);
    busy.running = 0;
  }
  busy.freed.notify_all();
  view.join();
  EXPECT_EQ(0, busy.running);
  EXPECT_FALSE(png.empty());
}
