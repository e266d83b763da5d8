// render_client_test.cpp: documents drawn through label-render: the same bits as drawing them
// in this process; hostile documents stopped by the memory and time limits with this process
// untouched; cancels; and a renderer that crashes, hangs or lies (a fake one).
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "imagefile.h"
#include "pdfraster.h"
#include "renderclient.h"
#include "testdocs.h"
#include "testsupport.h"
#include "zplrender.h"

#include <cstdint>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

using namespace app;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// What a run handed on.
struct Drawn {
  RenderResult result;
  std::vector<int> numbers;
  std::vector<LabelBitmap> pages;
  int documentPages = -1, first = -1, last = -1;
};

RendererOptions renderer(std::size_t memoryMiB = 256, int pageSeconds = 30, int cpuSeconds = 60)
{
  RendererOptions options;
  options.program = RENDERER_PATH;
  options.memoryBytes = memoryMiB << 20;
  options.pageSeconds = pageSeconds;
  options.cpuSeconds = cpuSeconds;
  return options;
}

RenderRequest request(DocumentFormat format, const std::string& path, unsigned width = 812,
                      unsigned height = 1218, int dpi = 203)
{
  RenderRequest result;
  result.format = format;
  result.path = path;
  result.width = width;
  result.height = height;
  result.dpi = dpi;
  return result;
}

Drawn draw(const RenderRequest& what, const RendererOptions& options,
           std::function<bool()> canceled = {})
{
  Drawn drawn;
  RenderCallbacks callbacks;
  callbacks.canceled = std::move(canceled);
  callbacks.document = [&](int pages, int first, int last) {
    drawn.documentPages = pages;
    drawn.first = first;
    drawn.last = last;
    return true;
  };
  callbacks.page = [&](int number, const LabelBitmap& page) {
    drawn.numbers.push_back(number);
    drawn.pages.push_back(page);
    return true;
  };
  drawn.result = renderDocument(what, options, callbacks);
  return drawn;
}

// This process's peak resident memory, KiB.
long peakKiB()
{
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0)
      return std::stol(line.substr(6));
  }
  return -1;
}

// True when this process has no child left, running or waiting to be reaped.
bool noChildLeft()
{
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

class RenderClient : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& bytes)
  {
    testsupport::writeFile(dir_.file(name), bytes);
    return dir_.file(name);
  }
  testsupport::TempDir dir_;
};

// The hostile documents: each ends with its reason within its limit, and only the renderer
// grew.
class RenderLimits : public RenderClient {
 protected:
  Drawn drawHostile(const std::string& pdf, const RendererOptions& options)
  {
    std::string path = write("hostile.pdf", pdf);
    long before = peakKiB();
    auto start = Clock::now();
    Drawn drawn = draw(request(DocumentFormat::pdf, path), options);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long after = peakKiB();
    std::cout << "  " << pdf.size() << "-byte PDF: " << seconds << " s; this process's peak "
              << before << " -> " << after << " KiB\n";
    EXPECT_LT(after - before, 16 * 1024) << "the parent grew";
    if (drawn.result.status != RenderStatus::ok) {
      EXPECT_TRUE(drawn.pages.empty());
    }
    EXPECT_TRUE(noChildLeft());
    return drawn;
  }
};

// A fake renderer that does MODE (fake_renderer.cpp), through a link of that name.
class RenderFaults : public RenderClient {
 protected:
  RendererOptions fake(const std::string& mode)
  {
    RendererOptions options = renderer(64, 2, 10);
    options.program = dir_.file("fake-" + mode);
    if (symlink(FAKE_RENDERER_PATH, options.program.c_str()) != 0)
      ADD_FAILURE() << "symlink: " << std::strerror(errno);
    return options;
  }
  RenderRequest anyPdf() { return request(DocumentFormat::pdf, write("any.pdf", "%PDF"), 64, 32); }
};

}  // namespace

TEST_F(RenderClient, PdfPagesAreTheBitsDrawnInProcess)
{
  // A 4 x 6 in label at 203 dpi (its own size) and on a 2 x 1 in label (shrunk to fit).
  std::string path = write("label.pdf", testdocs::labelPdf(2));
  std::string error;
  PdfPtr pdf = openPdf(path, error);
  ASSERT_TRUE(pdf) << error;
  for (auto [width, height] : {std::pair{812u, 1218u}, std::pair{406u, 203u}}) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    // Shrunk when larger, never turned: as renderPdfPage places a page.
    RenderRequest asBefore = request(DocumentFormat::pdf, path, width, height);
    asBefore.place = {Scaling::autoFit, 3, true};
    Drawn drawn = draw(asBefore, renderer());
    ASSERT_EQ(RenderStatus::ok, drawn.result.status) << drawn.result.reason;
    EXPECT_EQ(2, drawn.result.pagesDone);
    EXPECT_EQ((std::vector<int>{1, 2}), drawn.numbers);
    EXPECT_EQ(2, drawn.documentPages);
    for (int n = 0; n < 2 && n < static_cast<int>(drawn.pages.size()); n++) {
      LabelBitmap expected;
      ASSERT_TRUE(renderPdfPage(*pdf, n, 203, width, height, expected, error)) << error;
      EXPECT_EQ(expected.bits, drawn.pages[n].bits) << "page " << n + 1;
      EXPECT_EQ(width, drawn.pages[n].width);
      EXPECT_EQ((width + 7) / 8, drawn.pages[n].bytesPerLine);
      EXPECT_NE(std::count(expected.bits.begin(), expected.bits.end(), 0), expected.bits.size())
          << "a blank page proves nothing";
    }
  }
}

TEST_F(RenderClient, ImagesAreTheBitsPlacedInProcess)
{
  // One image smaller than the label (placed at its size) and one larger (shrunk); JPEG's
  // squares sit on its 8-pixel blocks, so they come back exactly black and white.
  // Shrunk by exactly half: the same dots whichever pixel of two is taken.
  for (auto [width, height] : {std::pair{400u, 280u}, std::pair{1624u, 1000u}}) {
    testdocs::Grey image = testdocs::blocks(width, height, 16);
    LabelBitmap expected;
    placeGrey(image.pixels.data(), width, height, width, 812, 1218, expected);
    for (DocumentFormat format : {DocumentFormat::png, DocumentFormat::jpeg}) {
      SCOPED_TRACE(std::string(formatName(format)) + " " + std::to_string(width));
      std::string path = write("image", format == DocumentFormat::png ? testdocs::pngFile(image)
                                                                       : testdocs::jpegFile(image));
      RenderRequest asBefore = request(format, path);
      asBefore.place = {Scaling::autoFit, 3, true};
      Drawn drawn = draw(asBefore, renderer());
      ASSERT_EQ(RenderStatus::ok, drawn.result.status) << drawn.result.reason;
      ASSERT_EQ(1u, drawn.pages.size());
      EXPECT_EQ(expected.bits, drawn.pages[0].bits);
    }
  }
}

TEST_F(RenderClient, DocumentOnADescriptor)
{
  // The document on a pipe, as a job arriving on a socket would be: read whole by the
  // renderer, drawn as from the file.
  std::string pdf = testdocs::labelPdf(1);
  std::string path = write("label.pdf", pdf);
  int pipeFds[2];
  ASSERT_EQ(0, pipe2(pipeFds, O_CLOEXEC));
  ASSERT_EQ(static_cast<ssize_t>(pdf.size()), ::write(pipeFds[1], pdf.data(), pdf.size()));
  close(pipeFds[1]);
  RenderRequest onPipe = request(DocumentFormat::pdf, "");
  onPipe.fd = pipeFds[0];
  Drawn fromPipe = draw(onPipe, renderer());
  close(pipeFds[0]);
  Drawn fromFile = draw(request(DocumentFormat::pdf, path), renderer());
  ASSERT_EQ(RenderStatus::ok, fromPipe.result.status) << fromPipe.result.reason;
  ASSERT_EQ(1u, fromPipe.pages.size());
  ASSERT_EQ(1u, fromFile.pages.size());
  EXPECT_EQ(fromFile.pages[0].bits, fromPipe.pages[0].bits);
}

TEST_F(RenderClient, PageRangesAndThePageLimit)
{
  std::string path = write("three.pdf", testdocs::labelPdf(3));
  RenderRequest middle = request(DocumentFormat::pdf, path, 203, 304);
  middle.firstPage = middle.lastPage = 2;
  Drawn drawn = draw(middle, renderer());
  EXPECT_EQ(RenderStatus::ok, drawn.result.status) << drawn.result.reason;
  EXPECT_EQ((std::vector<int>{2}), drawn.numbers);
  EXPECT_EQ(3, drawn.documentPages);

  // Past the end: nothing to print, which is not a failure.
  RenderRequest past = request(DocumentFormat::pdf, path, 203, 304);
  past.firstPage = 5;
  drawn = draw(past, renderer());
  EXPECT_EQ(RenderStatus::ok, drawn.result.status) << drawn.result.reason;
  EXPECT_TRUE(drawn.numbers.empty());
  EXPECT_EQ(5, drawn.first);
  EXPECT_EQ(3, drawn.last);

  // Three pages where two are allowed: refused before any page is drawn.
  RendererOptions two = renderer();
  two.maxPages = 2;
  drawn = draw(request(DocumentFormat::pdf, path, 203, 304), two);
  EXPECT_EQ(RenderStatus::tooManyPages, drawn.result.status);
  EXPECT_EQ("The job has more than 2 pages", drawn.result.reason);
  EXPECT_TRUE(drawn.numbers.empty());
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RenderClient, DamagedDocumentsFailWithTheirReason)
{
  testdocs::Grey image = testdocs::blocks(120, 80, 8);
  std::string png = testdocs::pngFile(image), jpeg = testdocs::jpegFile(image);
  struct Case {
    DocumentFormat format;
    std::string bytes, reason;
  } cases[] = {
      {DocumentFormat::png, png.substr(0, png.size() - 20), "The PNG file is truncated or damaged"},
      {DocumentFormat::jpeg, jpeg.substr(0, jpeg.size() / 2), "The JPEG file is truncated or damaged"},
      {DocumentFormat::pdf, "%PDF-1.4\n1 0 obj\n<<", "The PDF file cannot be read"},
      {DocumentFormat::png, jpeg, "The PNG file is truncated or damaged"},
  };
  for (const Case& c : cases) {
    Drawn drawn = draw(request(c.format, write("damaged", c.bytes)), renderer());
    EXPECT_EQ(RenderStatus::failed, drawn.result.status) << c.reason;
    EXPECT_EQ(c.reason, drawn.result.reason);
    EXPECT_TRUE(drawn.pages.empty());
  }
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RenderClient, CallerStopsAfterAPage)
{
  std::string path = write("three.pdf", testdocs::labelPdf(3));
  RenderCallbacks callbacks;
  int pages = 0;
  callbacks.page = [&](int, const LabelBitmap&) { return ++pages < 1; };
  RenderResult result = renderDocument(request(DocumentFormat::pdf, path, 203, 304), renderer(), callbacks);
  EXPECT_EQ(RenderStatus::stopped, result.status);
  EXPECT_EQ("Printing stopped at page 1", result.reason);
  EXPECT_EQ(1, pages);
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RenderLimits, LongPathRunsOutOfMemory)
{
  Drawn drawn = drawHostile(testdocs::longPathPdf(2000000), renderer(256));
  EXPECT_EQ(RenderStatus::noMemory, drawn.result.status) << drawn.result.reason;
  EXPECT_EQ("The PDF needs more than the 256 MiB allowed to draw page 1", drawn.result.reason);
}

TEST_F(RenderLimits, HugeJpeg2000ImageRunsOutOfMemory)
{
  Drawn drawn = drawHostile(testdocs::jpxPdf(40000), renderer(256));
  EXPECT_EQ(RenderStatus::noMemory, drawn.result.status) << drawn.result.reason;
  EXPECT_EQ("The PDF needs more than the 256 MiB allowed to draw page 1", drawn.result.reason);
}

// Poppler 22 asks for the 2 GB page and meets the limit.  Poppler 25 refuses a JBIG2 page that
// large before it allocates anything and draws the page without the image, as a viewer shows
// it; the renderer then stays small.  Either way nothing grows past the limit.
TEST_F(RenderLimits, HugeJbig2PageRunsOutOfMemory)
{
  Drawn drawn = drawHostile(testdocs::jbig2Pdf(130000), renderer(256));
  if (drawn.result.status == RenderStatus::ok) {
    EXPECT_EQ(1u, drawn.pages.size());
    return;
  }
  EXPECT_EQ(RenderStatus::noMemory, drawn.result.status) << drawn.result.reason;
  EXPECT_EQ("The PDF needs more than the 256 MiB allowed to draw page 1", drawn.result.reason);
}

TEST_F(RenderLimits, NestedFormsRunOutOfWallTime)
{
  auto start = Clock::now();
  Drawn drawn = drawHostile(testdocs::nestedFormsPdf(40), renderer(256, 3));
  EXPECT_EQ(RenderStatus::tooSlow, drawn.result.status) << drawn.result.reason;
  EXPECT_EQ("Page 1 took longer than 3 s to draw", drawn.result.reason);
  EXPECT_LT(Clock::now() - start, 3s + 3s);
}

TEST_F(RenderLimits, NestedFormsRunOutOfProcessorTime)
{
  Drawn drawn = drawHostile(testdocs::nestedFormsPdf(40), renderer(256, 60, 1));
  EXPECT_EQ(RenderStatus::tooSlow, drawn.result.status) << drawn.result.reason;
  EXPECT_EQ("The job used up its 1 s of processor time while drawing page 1", drawn.result.reason);
}

TEST_F(RenderLimits, CancelEndsALongDrawingAtOnce)
{
  // The cancel comes once the renderer has opened the document and is drawing page 1.
  std::string path = write("forms.pdf", testdocs::nestedFormsPdf(40));
  std::optional<Clock::time_point> canceledAt;
  RenderCallbacks callbacks;
  callbacks.document = [&](int, int, int) {
    canceledAt = Clock::now();
    return true;
  };
  callbacks.canceled = [&] { return canceledAt.has_value(); };
  RenderResult result = renderDocument(request(DocumentFormat::pdf, path), renderer(256, 60), callbacks);
  auto ended = Clock::now();
  EXPECT_EQ(RenderStatus::canceled, result.status) << result.reason;
  EXPECT_EQ("The job was canceled", result.reason);
  ASSERT_TRUE(canceledAt);
  EXPECT_LT(ended - *canceledAt, 2s);
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RenderFaults, RendererStartsAloneUnderItsLimits)
{
  // A descriptor of ours that would be inherited: the renderer must not see it.
  int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  RendererOptions options = fake("report");
  Drawn drawn = draw(anyPdf(), options);
  close(leaked);
  EXPECT_EQ(RenderStatus::failed, drawn.result.status);
  EXPECT_EQ("fds=0,1,2 as=" + std::to_string(64u << 20) + " cpu=10 core=0 group=own death=9",
            drawn.result.reason);
}

TEST_F(RenderFaults, LyingOrBrokenRenderersEndTheJob)
{
  struct Case {
    const char* mode;
    RenderStatus status;
    const char* reason;
  } cases[] = {
      {"garbage", RenderStatus::badOutput,
       "The renderer sent damaged data while opening the PDF (not a label-render stream of version 3)"},
      {"version", RenderStatus::badOutput,
       "The renderer sent damaged data while opening the PDF (not a label-render stream of version 3)"},
      {"hugepage", RenderStatus::badOutput,
       "The renderer sent damaged data while drawing page 1 (a page of 100000 x 100000 dots, 12500 bytes a row)"},
      {"order", RenderStatus::badOutput,
       "The renderer sent damaged data while drawing page 1 (page 2 out of order)"},
      {"cutpage", RenderStatus::badOutput,
       "The renderer sent damaged data while drawing page 1 (it ended without finishing)"},
      {"longtext", RenderStatus::badOutput,
       "The renderer sent damaged data while drawing page 1 (a message of 4294967280 bytes)"},
      {"early", RenderStatus::badOutput,
       "The renderer sent damaged data while drawing page 2 (it finished before the last page)"},
      {"manylabels", RenderStatus::badOutput,
       "The renderer sent damaged data while drawing page 2 (more than 16 labels from page 1)"},
      {"latenote", RenderStatus::badOutput,
       "The renderer sent damaged data while drawing page 2 (a note for page 1 out of order)"},
      {"skippage", RenderStatus::badOutput,
       "The renderer sent damaged data while drawing page 2 (page 3 out of order)"},
      {"segv", RenderStatus::crashed,
       "The renderer stopped unexpectedly (signal 11) while drawing page 1"},
      {"memoryexit", RenderStatus::noMemory,
       "The PDF needs more than the 64 MiB allowed to draw page 1"},
      {"hang", RenderStatus::tooSlow, "Page 1 took longer than 2 s to draw"},
  };
  long before = peakKiB();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    Drawn drawn = draw(anyPdf(), fake(c.mode));
    EXPECT_EQ(c.status, drawn.result.status);
    EXPECT_EQ(c.reason, drawn.result.reason);
    EXPECT_TRUE(noChildLeft());
  }
  EXPECT_LT(peakKiB() - before, 16 * 1024) << "a lying size was believed";
}

TEST_F(RenderFaults, SeveralLabelsFromOnePageWithTheirNotes)
{
  // Page 1 noted and cut into two labels, page 2 one label without a note: three labels, two
  // pages, the note handed on before page 1's labels.
  std::vector<std::string> events;
  RenderCallbacks callbacks;
  callbacks.note = [&](int number, const std::string& note) {
    events.push_back("note " + std::to_string(number) + " " + note);
  };
  callbacks.page = [&](int number, const LabelBitmap&) {
    events.push_back("label " + std::to_string(number));
    return true;
  };
  RenderResult result = renderDocument(anyPdf(), fake("twoup"), callbacks);
  EXPECT_EQ(RenderStatus::ok, result.status) << result.reason;
  EXPECT_EQ(2, result.pagesDone);
  EXPECT_EQ(3, result.labelsDone);
  EXPECT_EQ((std::vector<std::string>{"note 1 Cropped 2 labels? 90°?", "label 1", "label 1", "label 2"}),
            events);
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RenderFaults, RendererThatLingersAfterItsLastRecordIsEnded)
{
  // Every page sent, then output closed but the process left running: the job is fine, and
  // the renderer is killed after its grace time rather than waited for forever.
  auto start = Clock::now();
  Drawn drawn = draw(anyPdf(), fake("linger"));
  EXPECT_EQ(RenderStatus::ok, drawn.result.status) << drawn.result.reason;
  EXPECT_EQ(1, drawn.result.pagesDone);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RenderFaults, MissingRendererOrImpossibleRequest)
{
  RendererOptions missing = renderer();
  missing.program = dir_.file("no-such-renderer");
  Drawn drawn = draw(anyPdf(), missing);
  EXPECT_EQ(RenderStatus::notStarted, drawn.result.status);
  EXPECT_EQ("The renderer " + missing.program + " cannot be started: No such file or directory",
            drawn.result.reason);

  RenderRequest huge = anyPdf();
  huge.width = 40000;
  drawn = draw(huge, renderer());
  EXPECT_EQ(RenderStatus::notStarted, drawn.result.status);
  EXPECT_EQ("The label size 40000 x 32 dots is not supported", drawn.result.reason);
  EXPECT_TRUE(noChildLeft());
}

// ---------------------------------------------------------------------------------------------
// ZPL II jobs

namespace {

// The job's labels as zplrender draws them in this process with the label font.
std::vector<zplrender::Label> drawZplHere(const std::string& zpl, int dpi, unsigned width, unsigned height)
{
  std::ifstream file(zplrender::kLabelFontPath, std::ios::binary);
  std::vector<std::uint8_t> font{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::string error;
  zplrender::Options options;
  options.dpi = dpi;
  options.mediaWidth = static_cast<int>(width);
  options.mediaHeight = static_cast<int>(height);
  options.font = zplrender::loadLabelFont(std::move(font), error);
  EXPECT_TRUE(options.font) << error;
  zplrender::Result result;
  EXPECT_TRUE(zplrender::renderZpl({reinterpret_cast<const std::uint8_t*>(zpl.data()), zpl.size()},
                                   options, result))
      << result.error;
  return result.labels;
}

bool sameDots(const LabelBitmap& page, const zplrender::Bitmap& drawn)
{
  if (page.width != static_cast<unsigned>(drawn.width) || page.height != static_cast<unsigned>(drawn.height))
    return false;
  for (int y = 0; y < drawn.height; y++)
    for (int x = 0; x < drawn.width; x++)
      if (((page.bits[y * page.bytesPerLine + x / 8] >> (7 - x % 8)) & 1) != zplrender::bitmapDot(drawn, x, y))
        return false;
  return true;
}

}  // namespace

// Each ZPL label comes as a page of its own size (the job's ^PW/^LL, else the label asked
// for), numbered in order, the same dots as drawn in this process; what the job holds that is
// not drawn comes as the first label's note.
TEST_F(RenderClient, ZplLabelsComeInTheirOwnSizes)
{
  std::string zpl = "^XA^FO20,20^BY2^BCN,60,Y,N,N^SN001,1,Y^FS^PQ2^XZ"
                    "^XA^PW400^LL200^FO20,20^A0N,30,30^FDFirst^FS~JC^XZ";
  RenderCallbacks callbacks;
  std::vector<LabelBitmap> pages;
  std::vector<int> numbers;
  std::string notes;
  callbacks.page = [&](int number, const LabelBitmap& page) {
    numbers.push_back(number);
    pages.push_back(page);
    return true;
  };
  callbacks.note = [&](int number, const std::string& note) { notes += std::to_string(number) + ": " + note; };
  RenderResult result = renderDocument(request(DocumentFormat::zpl, write("two.zpl", zpl), 300, 150),
                                       renderer(), callbacks);
  ASSERT_EQ(RenderStatus::ok, result.status) << result.reason;
  EXPECT_EQ(3, result.documentPages);
  EXPECT_EQ((std::vector<int>{1, 2, 3}), numbers);
  std::vector<zplrender::Label> drawn = drawZplHere(zpl, 203, 300, 150);
  ASSERT_EQ(3u, drawn.size());
  ASSERT_EQ(3u, pages.size());
  EXPECT_EQ(300u, pages[0].width);
  EXPECT_EQ(150u, pages[1].height);
  EXPECT_EQ(400u, pages[2].width);
  EXPECT_EQ(200u, pages[2].height);
  for (std::size_t i = 0; i < 3; i++)
    EXPECT_TRUE(sameDots(pages[i], drawn[i].image)) << "label " << i + 1;
  EXPECT_NE(std::string::npos, notes.find("1: ZPL II job: ")) << notes;
  EXPECT_NE(std::string::npos, notes.find("~JC")) << notes;
  EXPECT_TRUE(noChildLeft());
}

// A ZPL job that prints nothing, or more labels than a job prints, or a label too large to
// draw, fails with its reason; none of its labels is handed on.
TEST_F(RenderClient, ZplJobsThatCannotPrintWholeFail)
{
  struct Case {
    std::string zpl, reason;
  } cases[] = {
      {"~SD20~JC", "prints no label"},
      {"^XA^PW200^LL100^FO10,10^GB50,50,50^FS^PQ99999999^XZ",
       "The ZPL II job prints more than 1000 labels (copies and serial numbers included)"},
      {"^XA^PW32000^LL32000^FO0,0^GB32000,32000,32000^FS^XZ", "32000 x 32000 dots"},
      {"hello, printer", "The ZPL II job"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zpl);
    Drawn drawn = draw(request(DocumentFormat::zpl, write("hostile.zpl", c.zpl)), renderer());
    EXPECT_EQ(RenderStatus::failed, drawn.result.status);
    EXPECT_NE(std::string::npos, drawn.result.reason.find(c.reason)) << drawn.result.reason;
    EXPECT_TRUE(drawn.pages.empty());
  }
  EXPECT_TRUE(noChildLeft());
}

// A ZPL label's own size is believed within the limits only: sizes other than the label's
// pass, a size past the bytes a label may have is refused before any buffer is sized.
TEST_F(RenderFaults, ZplLabelSizesWithinTheLimits)
{
  RendererOptions sizes = fake("zplsizes");
  Drawn drawn = draw(request(DocumentFormat::zpl, write("any.zpl", "^XA^XZ"), 64, 32), sizes);
  ASSERT_EQ(RenderStatus::ok, drawn.result.status) << drawn.result.reason;
  ASSERT_EQ(3u, drawn.pages.size());
  EXPECT_EQ(32u, drawn.pages[1].width);
  EXPECT_EQ(131u, drawn.pages[2].width);
  EXPECT_EQ(17u * 64, drawn.pages[2].bits.size());
  // The same pages from a PDF are not the label's size: refused.
  drawn = draw(anyPdf(), sizes);
  EXPECT_EQ(RenderStatus::badOutput, drawn.result.status);

  long before = peakKiB();
  drawn = draw(request(DocumentFormat::zpl, write("any.zpl", "^XA^XZ"), 64, 32), fake("zplhuge"));
  EXPECT_EQ(RenderStatus::badOutput, drawn.result.status);
  EXPECT_EQ("The renderer sent damaged data while drawing page 1 (a page of 32767 x 32767 dots, 4096 bytes a row)",
            drawn.result.reason);
  EXPECT_LT(peakKiB() - before, 16 * 1024) << "a lying size was believed";
  EXPECT_TRUE(noChildLeft());
}

// A job of many large labels is drawn under a memory limit far below all its labels together
// (1000 labels of 4 x 6 in at 203 dpi are 124 MB): each label is sent as it is drawn.
TEST_F(RenderClient, ManyZplLabelsNeedTheMemoryOfOne)
{
  std::string path = write("many.zpl", "^XA^PW812^LL1218^FO50,50^GB700,1100,4^FS^FO100,100^A0N,40,40^FDCopy^FS^PQ1000^XZ");
  RenderCallbacks callbacks;
  int labels = 0;
  bool allWhole = true;
  callbacks.page = [&](int number, const LabelBitmap& page) {
    allWhole = allWhole && number == labels + 1 && page.width == 812 && page.height == 1218;
    labels++;
    return true;
  };
  RenderResult result = renderDocument(request(DocumentFormat::zpl, path), renderer(96), callbacks);
  EXPECT_EQ(RenderStatus::ok, result.status) << result.reason;
  EXPECT_EQ(1000, labels);
  EXPECT_TRUE(allWhole);
  EXPECT_TRUE(noChildLeft());
}
