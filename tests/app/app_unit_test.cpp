// app_unit_test.cpp: the printer application's PAPPL-free parts without a server: the job
// writer against the filters, the status policy on an injected clock, the server options,
// the Label Settings form and the pages' content.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "appserver.h"
#include "drivers.h"
#include "jobwriter.h"
#include "labelform.h"
#include "options.h"
#include "pages.h"
#include "statefile.h"
#include "labelbitmap.h"
#include "preview.h"
#include "statuspolicy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace app;
using namespace apptest;
using namespace testsupport;

namespace {

// Two 4x6 pages with different patterns, as raster pages and as label bitmaps.
std::vector<Page> patternPages(unsigned dpi)
{
  std::vector<Page> pages;
  for (unsigned n = 0; n < 2; n++) {
    Page p = blankPage(4 * dpi, 6 * dpi, dpi);
    unsigned bytes = p.header.cupsBytesPerLine;
    for (unsigned y = 0; y < p.header.cupsHeight; y++) {
      for (unsigned x = 0; x < bytes; x++) {
        bool ink = (y / 16 + n) % 3 == 0 ? x % 5 == 0 : (x * 7 + y) % (11 + n) == 0;
        p.data[y * bytes + x] = ink ? static_cast<unsigned char>(0xF0 >> n) : 0;
      }
    }
    pages.push_back(p);
  }
  return pages;
}

LabelBitmap bitmapOf(const Page& page)
{
  LabelBitmap b;
  b.width = page.header.cupsWidth;
  b.height = page.header.cupsHeight;
  b.bytesPerLine = page.header.cupsBytesPerLine;
  b.bits = page.data;
  return b;
}

class JobWriterTest : public AppServer {};

// The application's job writer sends what the CUPS filter sends for the same pages and the
// application's default settings, byte for byte, for every driver.
TEST_F(JobWriterTest, WritesWhatTheFiltersWrite)
{
  for (const Printer& p : kPrinters) {
    SCOPED_TRACE(p.name);
    std::vector<Page> pages = patternPages(p.dpi);
    std::string raster = dir.file(std::string(p.name) + ".ras");
    writeRaster(raster, pages);

    std::string bytes;
    JobWriter writer;
    startJob(writer, p.zpl ? Language::zpl : Language::dpl, LabelValues{}, static_cast<int>(p.dpi),
             stringSink(&bytes));
    for (const Page& page : pages)
      ASSERT_EQ(Status::ok, writeBitmap(writer, bitmapOf(page), static_cast<int>(p.dpi), nullptr));
    ASSERT_EQ(Status::ok, finishJob(writer)) << jobError(writer);

    std::string expected = filterOutput(p, raster);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(bytes == expected) << hexDiff(expected, bytes);
  }
}

// A cancel asked while a page goes out: that page still ends whole (DPL closes its label; ZPL
// drops the page it had not begun to send), and nothing after it starts.
TEST_F(JobWriterTest, ACancelDuringAPageStartsNothingNew)
{
  for (const Printer& p : {kPrinters[0], kPrinters[2]}) {
    SCOPED_TRACE(p.name);
    std::vector<Page> pages = patternPages(p.dpi);
    std::string bytes;
    JobWriter writer;
    startJob(writer, p.zpl ? Language::zpl : Language::dpl, LabelValues{}, static_cast<int>(p.dpi),
             stringSink(&bytes));
    ASSERT_EQ(Status::ok, writeBitmap(writer, bitmapOf(pages[0]), static_cast<int>(p.dpi), nullptr));
    std::size_t afterFirst = bytes.size();
    int rows = 0;
    writeBitmap(writer, bitmapOf(pages[1]), static_cast<int>(p.dpi), [&] { return ++rows > 100; });
    EXPECT_EQ(Status::cancelled, finishJob(writer));
    EXPECT_EQ(Status::cancelled, startPage(writer, PageSize{8, 8, 1, static_cast<int>(p.dpi)}));
    LabelJob job;
    JobError error;
    auto data = reinterpret_cast<const unsigned char*>(bytes.data());
    ASSERT_TRUE(parseLabelJob({data, bytes.size()}, job, error)) << error.what;
    EXPECT_EQ(p.zpl ? 1u : 2u, job.labels.size());
    EXPECT_GE(bytes.size(), afterFirst);
  }
}

TEST(StatusPolicy, AsksOnlyAnIdleNetworkOrUsbPrinterOnceAtATime)
{
  auto t0 = StatusClock::time_point{} + std::chrono::hours(1);
  StatusState state;
  EXPECT_FALSE(beginQuery(state, statusDevice("file:///tmp/out"), false, t0));
  EXPECT_FALSE(beginQuery(state, statusDevice("socket://printer"), true, t0));  // printing
  StatusDevice usb = statusDevice("usb://Zebra/ZD420?serial=1");
  EXPECT_EQ(StatusDevice::usb, usb.kind);
  StatusDevice net = statusDevice("socket://[::1]:9101");
  ASSERT_EQ(StatusDevice::network, net.kind);
  EXPECT_EQ("::1", net.host);
  EXPECT_EQ(9101, net.port);
  EXPECT_TRUE(beginQuery(state, net, false, t0));
  EXPECT_FALSE(beginQuery(state, net, false, t0));  // already asking
  abandonQuery(state);
  EXPECT_TRUE(beginQuery(state, net, false, t0));
}

TEST(StatusPolicy, ASilentPrinterIsLeftAloneAndItsReasonsKept)
{
  auto t0 = StatusClock::time_point{} + std::chrono::hours(1);
  StatusDevice net = statusDevice("socket://127.0.0.1:9100");
  StatusState state;
  QueryResult answer;
  answer.outcome = QueryOutcome::answered;
  answer.reply = "\002030,1,0,1245,000,0,0,0,000,0,0,0\003\r\n"
                 "\002001,0,1,0,1,2,6,0,00000000,1,000\003\r\n"
                 "\0021234,0\003\r\n";
  ASSERT_TRUE(beginQuery(state, net, false, t0));
  StatusChange change = finishQuery(state, answer, t0);
  EXPECT_EQ(kReasonNone, change.before);
  EXPECT_EQ(kReasonMediaEmpty | kReasonCoverOpen, change.after);
  EXPECT_FALSE(change.silent);

  QueryResult silence;
  silence.outcome = QueryOutcome::silent;
  ASSERT_TRUE(beginQuery(state, net, false, t0));
  change = finishQuery(state, silence, t0);
  EXPECT_TRUE(change.silent);
  EXPECT_TRUE(change.firstSilence);
  EXPECT_EQ(change.before, change.after);  // nothing known: nothing changed
  EXPECT_FALSE(beginQuery(state, net, false, t0 + kQuietAfterNoAnswer - std::chrono::seconds(1)));
  ASSERT_TRUE(beginQuery(state, net, false, t0 + kQuietAfterNoAnswer));
  change = finishQuery(state, silence, t0 + kQuietAfterNoAnswer);
  EXPECT_FALSE(change.firstSilence);  // warned once, not at every try

  QueryResult garbage;
  garbage.outcome = QueryOutcome::answered;
  garbage.reply = "hello";
  auto later = t0 + 2 * kQuietAfterNoAnswer;
  ASSERT_TRUE(beginQuery(state, net, false, later));
  change = finishQuery(state, garbage, later);
  EXPECT_TRUE(change.unreadable);
  EXPECT_EQ(kReasonMediaEmpty | kReasonCoverOpen, change.after);
}

TEST(ServerOptions, WordsChangeTheDefaults)
{
  EXPECT_EQ(kServerMultiQueue | kServerWebInterface, serverFlags(nullptr));
  EXPECT_EQ(kServerMultiQueue | kServerWebInterface | kServerRawSocket | kServerWebRemote,
            serverFlags("raw-socket,web-remote,no-such-word"));
  EXPECT_EQ(kServerUsbPrinter, serverFlags("none,usb-printer"));
  EXPECT_EQ(kServerWebInterface, serverFlags("no-multi-queue"));
  EXPECT_EQ(kServerMultiQueue | kServerWebTls, serverFlags("no-web-interface,web-tls"));
  EXPECT_EQ(LogLevel::debug, logLevel("debug"));
  EXPECT_EQ(LogLevel::warn, logLevel("loud"));
  EXPECT_EQ(LogLevel::warn, logLevel(nullptr));
}

TEST(ServerOptions, TheServiceSocketIsInSystemdsRuntimeDirectory)
{
  EXPECT_EQ("", serviceSocketPath(nullptr));
  EXPECT_EQ("", serviceSocketPath(""));
  EXPECT_EQ("", serviceSocketPath(":/run/other"));
  EXPECT_EQ("/run/label-printer-app/label-printer-app.sock", serviceSocketPath("/run/label-printer-app"));
  EXPECT_EQ("/run/a/label-printer-app.sock", serviceSocketPath("/run/a:/run/b"));
}

TEST(Drivers, EveryLimitComesFromTheCapabilities)
{
  EXPECT_STREQ("zpl_203", driverForCommandSet("ZPL,EPL"));
  EXPECT_STREQ("dpl_203", driverForCommandSet("DPL"));
  EXPECT_EQ(nullptr, driverForCommandSet("PCL,PJL"));
  for (const DriverModel& model : kDrivers)
    EXPECT_EQ(&model, findDriver(model.name));

  // Offsets past the language's range are clamped to it.
  LabelValues values;
  values.topOffset = 5000;
  values.tearOffset = -5000;
  EXPECT_DOUBLE_EQ(kZplCapabilities.topOffset.high / 100.0, zplValues(values).topOffsetMm);
  EXPECT_DOUBLE_EQ(kZplCapabilities.tearOffset.low / 100.0, zplValues(values).tearOffMm);
  EXPECT_DOUBLE_EQ(kDplCapabilities.topOffset.high / 100.0, dplValues(values).topOffsetMm);
}

TEST(LabelForm, ValuesAreCheckedAgainstThePrinter)
{
  Form form = {{"label-mode-configured", "peel-off"},
               {"label-tear-offset-configured", "12.5"},
               {"printer-darkness-configured", "140"},
               {"print-method", "thermal-transfer"},
               {"label-mirror", "on"}};
  LabelForm zpl = readLabelForm(form, kZplCapabilities);
  EXPECT_EQ(LabelMode::peelOff, zpl.mode);
  EXPECT_EQ(kZplCapabilities.tearOffset.high, zpl.tearOffset);  // 12.5 mm, clamped to 10 mm
  EXPECT_EQ(100, zpl.darkness);
  std::map<std::string, std::string> vendor(zpl.vendor.begin(), zpl.vendor.end());
  EXPECT_EQ("thermal-transfer", vendor["print-method"]);
  EXPECT_EQ("true", vendor["label-mirror"]);
  EXPECT_EQ("false", vendor["label-reverse"]);  // an unchecked box

  // DPL printers have no tear-off offset nor darkness of their own; garbage changes nothing.
  Form bad = {{"label-mode-configured", "shred"},
              {"label-tear-offset-configured", "nan"},
              {"printer-darkness-configured", "12abc"},
              {"print-method", "laser"},
              {"label-heat", "99"}};
  LabelForm dpl = readLabelForm(bad, kDplCapabilities);
  EXPECT_FALSE(dpl.mode);
  EXPECT_FALSE(dpl.tearOffset);
  EXPECT_FALSE(dpl.darkness);
  std::map<std::string, std::string> dplVendor(dpl.vendor.begin(), dpl.vendor.end());
  EXPECT_EQ(0u, dplVendor.count("print-method"));
  EXPECT_EQ("30", dplVendor["label-heat"]);
  LabelForm zplBad = readLabelForm(bad, kZplCapabilities);
  EXPECT_FALSE(zplBad.tearOffset);
  EXPECT_FALSE(zplBad.darkness);
}

TEST(Pages, SettingsAndPreviewContent)
{
  EXPECT_EQ("&lt;b&gt; &amp; &quot;x&quot; &#39;", htmlEscape("<b> & \"x\" '"));
  EXPECT_EQ("", bannerHtml(""));
  EXPECT_EQ("<div class=\"banner\">a &lt; b</div>\n", bannerHtml("a < b"));

  LabelSettingsView view;
  view.mode = LabelMode::cutter;
  view.tearOffsetRange = kZplCapabilities.tearOffset;
  view.tearOffset = -250;
  view.darknessOffered = true;
  view.darkness = 70;
  VendorTable table = vendorOptions(Language::zpl);
  for (std::size_t i = 0; i < table.count; i++)
    view.vendor.push_back({&table.options[i], table.options[i].defaultValue});
  view.vendor[0].value = "direct-thermal";
  std::string html = labelSettingsHtml(view);
  EXPECT_NE(std::string::npos, html.find("<option value=\"cutter\" selected>Cutter</option>"));
  EXPECT_NE(std::string::npos, html.find("value=\"-2.5\"> mm"));
  EXPECT_NE(std::string::npos, html.find("name=\"printer-darkness-configured\" min=\"0\" max=\"100\" value=\"70\""));
  EXPECT_NE(std::string::npos, html.find("<option value=\"direct-thermal\" selected>"));
  EXPECT_EQ(std::string::npos, html.find("label-heat"));
  EXPECT_EQ(html.size() - 8, html.rfind("</form>\n"));

  LabelSettingsView dpl;
  std::string dplHtml = labelSettingsHtml(dpl);
  EXPECT_EQ(std::string::npos, dplHtml.find("Tear-off offset"));
  EXPECT_EQ(std::string::npos, dplHtml.find("Printer darkness"));

  PreviewView preview;
  preview.imagePath = "/ipp/print/z/preview.png";
  EXPECT_NE(std::string::npos, previewHtml(preview).find("No job has printed since the server started."));
  auto kept = std::make_shared<KeptJob>();
  kept->id = 7;
  kept->name = "<script>";
  kept->total = 3;
  kept->bytes = {'^', 'X', 'A'};
  preview.jobs = {kept, kept};
  std::string jobs = previewHtml(preview);
  EXPECT_NE(std::string::npos, jobs.find("The last 2 jobs as the printer got them"));
  EXPECT_NE(std::string::npos, jobs.find("Job 7: &lt;script&gt;</h2>"));
  EXPECT_EQ(std::string::npos, jobs.find("<script>"));
  EXPECT_NE(std::string::npos, jobs.find("Completed, 3 bytes sent to the printer."));
}

}  // namespace

namespace {

TEST(StateFile, ReplacedWholeOrNotAtAll)
{
  TempDir dir;
  std::string path = dir.file("state");
  writeFile(path, "old");
  writeFile(pendingName(path), "new");
  std::string warning;
  EXPECT_EQ("", replaceWithPending(path, &warning));
  EXPECT_EQ("new", readFile(path));
  EXPECT_FALSE(std::filesystem::exists(pendingName(path)));
  EXPECT_EQ("", warning);

  // Nothing written: the old file stays, and the failure is said.
  EXPECT_NE("", replaceWithPending(path));
  EXPECT_EQ("new", readFile(path));

  // A target that cannot be replaced (a directory in its place): the pending file goes.
  std::string blocked = dir.file("blocked");
  std::filesystem::create_directories(blocked + "/inside");
  writeFile(pendingName(blocked), "new");
  EXPECT_NE("", replaceWithPending(blocked));
  EXPECT_FALSE(std::filesystem::exists(pendingName(blocked)));
  EXPECT_TRUE(std::filesystem::is_directory(blocked));
}

}  // namespace
