// app_fault_test.cpp: label-printer-app when things go wrong: a job cancelled while its label
// is on the wire, a printer that drops the connection, a server killed and restarted, and
// hostile documents and requests.  Each ends as a failed job or an IPP error; the printer
// prints the next job whole.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "appserver.h"
#include "fakeprinter.h"

#include "preview.h"

#include <cstdint>
#include <algorithm>
#include <zlib.h>

#include <random>

using namespace apptest;

namespace {

// A PWG raster file of `pages` 4 x 6 in pages of random dots: labels that compress badly,
// so that each page is a long download.
void writeNoiseRaster(const std::string& path, unsigned dpi, int pages)
{
  cups_page_header2_t header;
  ASSERT_TRUE(cupsRasterInitPWGHeader(&header, pwgMediaForPWG("oe_4x6-label_4x6in"), "black_1",
                                      static_cast<int>(dpi), static_cast<int>(dpi), "one-sided", nullptr));
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  std::mt19937 random(7);
  std::vector<unsigned char> row(header.cupsBytesPerLine);
  for (int page = 0; page < pages; page++) {
    ASSERT_TRUE(cupsRasterWriteHeader2(ras, &header));
    for (unsigned y = 0; y < header.cupsHeight; y++) {
      for (unsigned char& byte : row)
        byte = static_cast<unsigned char>(random());
      cupsRasterWritePixels(ras, row.data(), header.cupsBytesPerLine);
    }
  }
  cupsRasterClose(ras);
  close(fd);
}

// True when `bytes` read as a whole job of `labels` labels (a half label is a read error).
::testing::AssertionResult wholeJob(const std::string& bytes, std::size_t labels)
{
  LabelJob job;
  JobError error;
  auto data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (!parseLabelJob({data, bytes.size()}, job, error))
    return ::testing::AssertionFailure() << "not a whole job: " << error.what << " at byte "
                                         << error.offset << " of " << bytes.size();
  if (job.labels.size() != labels)
    return ::testing::AssertionFailure() << job.labels.size() << " labels, not " << labels;
  return ::testing::AssertionSuccess();
}

class AppFaults : public AppServer {
 protected:
  // Waits until the server has closed every connection to the printer (the job's device is
  // closed once the job has ended), then returns every byte the printer got.
  std::string settled(FakePrinter& printer)
  {
    bool closed = printer.waitUntil([](const FakePrinter::Record& r) {
      return std::none_of(r.connections.begin(), r.connections.end(),
                          [](const FakePrinter::Connection& c) { return c.open; });
    }, 60s);
    EXPECT_TRUE(closed) << "the server kept the printer's connection open";
    return printer.received();
  }
};

TEST_F(AppFaults, ACancelWhileALabelIsSentLeavesOnlyWholeLabels)
{
  start();
  for (const Printer& p : {kPrinters[0], kPrinters[2]}) {
    SCOPED_TRACE(p.name);
    FakePrinter printer;
    std::string name = std::string(p.name) + "-cancel";
    ASSERT_EQ(0, app({"add", "-d", name, "-m", p.driver, "-v", printer.uri()}).status);
    // More labels than the sockets' buffers hold, so that the job is still sending when the
    // printer stops reading.
    constexpr int kPages = 40;
    std::string pwg = dir.file("noise.pwg");
    writeNoiseRaster(pwg, p.dpi, kPages);

    // Cancelled while the printer has stopped reading in the middle of the job: the label
    // being sent is finished (ZPL's graphic download, DPL's label closed), none after it is
    // begun.
    // (PAPPL prints PWG raster as it arrives, so the client waits with the printer.)
    // The printer reads a twentieth of the job (two labels), then stops: the job sends on
    // until the sockets' buffers are full (far less than the rest of the job) and waits.
    const std::size_t limit = filterOutput(p, pwg).size() / 20;
    printer.setReadLimit(limit);
    std::thread client([&] { app({"submit", "-d", name, "-t", "noise", pwg}); });
    std::string id = waitForState(name, IPP_JSTATE_PROCESSING);
    EXPECT_TRUE(printer.waitUntil([&](const FakePrinter::Record& r) {
      return std::any_of(r.connections.begin(), r.connections.end(),
                         [&](const FakePrinter::Connection& c) { return c.received.size() >= limit; });
    }, 120s)) << "the job never sent " << limit << " bytes";
    RunResult cancel = app({"cancel", "-d", name, "-j", id});
    EXPECT_EQ(0, cancel.status) << cancel.out << cancel.err;
    printer.setReadLimit(std::nullopt);
    client.join();
    EXPECT_EQ("failed", jobEnd(name, "noise"));
    std::string cancelled = settled(printer);
    LabelJob job;
    JobError error;
    auto data = reinterpret_cast<const unsigned char*>(cancelled.data());
    EXPECT_TRUE(parseLabelJob({data, cancelled.size()}, job, error))
        << error.what << " at byte " << error.offset << " of " << cancelled.size();
    EXPECT_GE(job.labels.size(), 1u);
    EXPECT_LT(job.labels.size(), static_cast<std::size_t>(kPages));

    // The printer takes the next job whole.
    std::size_t mark = cancelled.size();
    std::string label = dir.file("label.pwg");
    writePwgLabel(label, p.dpi);
    ASSERT_EQ(0, app({"submit", "-d", name, "-t", "after", label}).status);
    EXPECT_EQ("completed", jobEnd(name, "after"));
    std::string after = settled(printer).substr(mark);
    std::string expected = filterOutput(p, label);
    EXPECT_TRUE(after == expected) << hexDiff(expected, after);
  }
}

TEST_F(AppFaults, APrinterThatDropsTheConnectionFailsTheJobAndTheNextPrints)
{
  start();
  FakePrinter printer;
  printer.setDropAfter(10000);
  const Printer& p = kPrinters[0];
  ASSERT_EQ(0, app({"add", "-d", p.name, "-m", p.driver, "-v", printer.uri()}).status);
  // A job larger than the sockets' buffers can hold (the sender's grows to 4 MiB), so that
  // the printer's hang-up comes while the server still has labels to write, however slowly
  // the printer's side runs.
  std::string pwg = dir.file("noise.pwg");
  writeNoiseRaster(pwg, p.dpi, 30);
  ASSERT_EQ(0, app({"submit", "-d", p.name, "-t", "dropped", pwg}).status);
  EXPECT_EQ("failed", jobEnd(p.name, "dropped"));
  EXPECT_NE(std::string::npos, readFile(dir.file("log")).find("Unable to write"))
      << readFile(dir.file("log"));

  printer.setDropAfter(std::nullopt);
  std::size_t mark = printer.received().size();
  std::string label = dir.file("label.pwg");
  writePwgLabel(label, p.dpi);
  ASSERT_EQ(0, app({"submit", "-d", p.name, "-t", "after", label}).status);
  EXPECT_EQ("completed", jobEnd(p.name, "after"));
  EXPECT_TRUE(wholeJob(settled(printer).substr(mark), 1));
}

TEST_F(AppFaults, AServerKilledOutrightKeepsItsPrintersAndSettings)
{
  start();
  addPrinters();
  RunResult r = app({"modify", "-d", "d300", "-o", "label-mode-configured=cutter"});
  ASSERT_EQ(0, r.status) << r.err;
  // The change reaches the state file soon after, without a clean shutdown.
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (readFile(dir.file("state")).find("cutter") == std::string::npos)
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << readFile(dir.file("state"));
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  server = -1;

  start();
  std::string printers = app({"printers"}).out;
  for (const Printer& p : kPrinters)
    EXPECT_NE(std::string::npos, printers.find(p.name)) << printers;
  std::string page = httpGet(port, "/d300/label");
  EXPECT_NE(std::string::npos, page.find("value=\"cutter\" selected")) << page;
  std::string state;
  std::string label = dir.file("label.pwg");
  writePwgLabel(label, 300);
  EXPECT_FALSE(submit(kPrinters[3], label, "after-kill", state).empty());
  EXPECT_EQ("completed", state);
}

// A PNG file of a white image of the size given, whatever its size: one row of data
// repeated, compressed.
std::string pngOfSize(std::uint32_t width, std::uint32_t height)
{
  auto be32 = [](std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out += static_cast<char>((v >> shift) & 0xFF);
  };
  auto chunk = [&](std::string& out, const char* type, const std::string& data) {
    be32(out, static_cast<std::uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    out += body;
    be32(out, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
  };
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string ihdr;
  be32(ihdr, width);
  be32(ihdr, height);
  ihdr += std::string("\x01\x00\x00\x00\x00", 5);  // 1-bit grey
  chunk(png, "IHDR", ihdr);
  std::string rows;
  for (std::uint32_t y = 0; y < std::min<std::uint32_t>(height, 64); y++)
    rows += std::string(1, '\0') + std::string((width + 7) / 8, '\xff');
  uLongf size = compressBound(static_cast<uLong>(rows.size()));
  std::string packed(size, '\0');
  compress(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(rows.data()), static_cast<uLong>(rows.size()));
  packed.resize(size);
  chunk(png, "IDAT", packed);
  chunk(png, "IEND", "");
  return png;
}

TEST_F(AppFaults, HostileDocumentsFailTheirJobAndNothingElse)
{
  start();
  addPrinters();
  const Printer& z = kPrinters[0];
  std::string pdf = dir.file("label.pdf");
  ASSERT_EQ(0, runProgram(MAKE_PDF_PATH, {{"4x6in", pdf}, env}).status);
  std::string whole = readFile(pdf);

  struct Hostile {
    const char* name;
    std::string bytes;
  };
  const Hostile cases[] = {
      {"truncated-pdf", whole.substr(0, whole.size() / 2)},
      {"pdf-header-only", "%PDF-1.7\n%\xe2\xe3\xcf\xd3\n"},
      {"huge-png", pngOfSize(100000, 100000)},
      {"png-cut-in-header", pngOfSize(400, 300).substr(0, 30)},
      {"plain-text", "Dear printer,\nplease print this letter.\n"},
      {"binary-noise", std::string("\x7f\x45\x4c\x46\x02\x01\x01\x00", 8) + std::string(3000, '\x90')},
  };
  for (const Hostile& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir.file(c.name);
    writeFile(file, c.bytes);
    RunResult r = app({"submit", "-d", z.name, "-t", c.name, file});
    // Either the request is refused with a reason, or the job fails.
    if (r.status != 0)
      EXPECT_FALSE(r.err.empty());
    else
      EXPECT_EQ("failed", jobEnd(z.name, c.name)) << readFile(dir.file("log"));
  }
  // A document of no bytes at all is refused.
  writeFile(dir.file("empty"), "");
  RunResult empty = app({"submit", "-d", z.name, "-t", "empty", dir.file("empty")});
  EXPECT_NE(0, empty.status);
  EXPECT_FALSE(empty.err.empty());

  // Absurd attribute values: an IPP error or a job that ends, never a hang.
  writePwgLabel(dir.file("label.pwg"), z.dpi);
  RunResult absurd = runProgram(IPPTOOL_PATH, {{"-T", "30", "-f", dir.file("label.pwg"), uri(z),
                                      TEST_SOURCE_DIR "/absurd-job.test"}, env});
  EXPECT_EQ(0, absurd.status) << absurd.out << absurd.err;

  // The printer still prints, and the server still answers.
  std::string state;
  std::string got = submit(z, dir.file("label.pwg"), "good-after", state);
  EXPECT_EQ("completed", state);
  EXPECT_TRUE(wholeJob(got, 1));
}

}  // namespace

// PAPPL refuses a raster job while the printer prints another (server-error-busy) and still
// answers with a job ID.  `submit` sends it again while the printer stays busy, for a bounded
// time: a job refused all along fails with the reason, one sent again after the printer came
// free prints.
TEST_F(AppFaults, SubmitNeverReportsABusyRefusalAsPrinted)
{
  start();
  const Printer& p = kPrinters[0];
  FakePrinter printer;
  ASSERT_EQ(0, app({"add", "-d", "busy", "-m", p.driver, "-v", printer.uri()}).status);
  std::string noise = dir.file("noise.pwg");
  writeNoiseRaster(noise, p.dpi, 40);
  std::string label = dir.file("label.pwg");
  writePwgLabel(label, p.dpi);

  // A stalled printer holds the first job (sent as it arrives, so its client waits too).
  printer.setReading(false);
  RunResult first;
  std::thread firstClient([&] { first = app({"submit", "-d", "busy", "-t", "first", noise}); });
  waitForState("busy", IPP_JSTATE_PROCESSING);
  auto refusals = [&] {
    std::string log = readFile(dir.file("log"));
    std::size_t count = 0;
    for (std::size_t at = 0; (at = log.find("Currently printing another job", at)) != std::string::npos; at++)
      count++;
    return count;
  };

  RunResult refused = app({"submit", "-d", "busy", "-t", "refused", label});
  EXPECT_NE(0, refused.status) << refused.out;
  EXPECT_NE(std::string::npos, refused.err.find("busy")) << refused.err;
  EXPECT_GT(refusals(), 3u) << "not sent again";

  RunResult second;
  std::size_t before = refusals();
  std::thread secondClient([&] { second = app({"submit", "-d", "busy", "-t", "second", label}); });
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (refusals() == before && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_GT(refusals(), before) << "the second job was not refused while the printer was busy";
  printer.setReading(true);
  firstClient.join();
  secondClient.join();
  EXPECT_EQ(0, first.status) << first.err;
  EXPECT_EQ(0, second.status) << second.err;
  EXPECT_EQ("completed", jobEnd("busy", "second")) << readFile(dir.file("log"));
}
