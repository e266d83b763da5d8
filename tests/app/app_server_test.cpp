// app_server_test.cpp: label-printer-app as a server; jobs through the `submit` sub-command
// and through CUPS's ipptool, each printer's file device checked byte for byte against the
// filter's output for the same page and settings.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "appserver.h"
#include "labelcorpus.h"
#include "pngcheck.h"
#include "preview.h"
#include "zplrender.h"

#include <cstdint>
#include <zint.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace apptest;

namespace {

// One document format on one driver, as a case of its own so that one failure hides no other.
struct FormatCase {
  const Printer* printer;
  const char* format;  // pwg, pdf, raw, raw-wrong
};

class EveryFormat : public AppServer, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(EveryFormat, PrintsOnTheDriver)
{
  const Printer& p = *GetParam().printer;
  std::string format = GetParam().format;
  start();
  addPrinters();
  std::string state;
  std::string pwg = dir.file(std::string(p.name) + ".pwg");
  writePwgLabel(pwg, p.dpi);
  std::string expected = filterOutput(p, pwg);
  ASSERT_FALSE(expected.empty());

  if (format == "pwg") {
    // PWG raster: exactly what the filter makes of the same page, through both clients.
    std::string got = submit(p, pwg, "pwg-submit", state);
    EXPECT_EQ("completed", state);
    EXPECT_TRUE(got == expected) << hexDiff(expected, got);
    got = ipptool(p, pwg, "image/pwg-raster", "pwg-ipptool", state);
    EXPECT_EQ("completed", state);
    EXPECT_TRUE(got == expected) << hexDiff(expected, got);
  } else if (format == "pdf") {
    // PDF: the same job start as the filter's, one label, the same through both clients.
    std::string pdf = dir.file("label.pdf");
    ASSERT_EQ(0, runProgram(MAKE_PDF_PATH, {{"4x6in", pdf}, env}).status);
    std::string fromPdf = submit(p, pdf, "pdf-submit", state);
    EXPECT_EQ("completed", state);
    std::size_t preamble = p.zpl ? expected.find("~DG") : expected.find("\x02L");
    ASSERT_NE(std::string::npos, preamble);
    EXPECT_EQ(expected.substr(0, preamble), fromPdf.substr(0, preamble));
    EXPECT_GT(fromPdf.size(), preamble + 1000);
    EXPECT_EQ(fromPdf, ipptool(p, pdf, "application/pdf", "pdf-ipptool", state));
  } else if (format == "raw") {
    // Raw printer language, declared and sent as octet-stream, comes out unchanged.
    std::string raw = dir.file(std::string(p.name) + ".raw");
    writeFile(raw, expected);
    EXPECT_TRUE(submit(p, raw, "raw-submit", state) == expected);
    EXPECT_EQ("completed", state);
    EXPECT_TRUE(ipptool(p, raw, p.zpl ? "application/vnd.zebra-zpl" : "application/vnd.datamax-dpl",
                        "raw-ipptool", state) == expected);
    EXPECT_EQ("completed", state);
  } else if (p.zpl) {
    // DPL is not a ZPL printer's language: it fails.
    std::string raw = dir.file(std::string(p.name) + ".raw");
    writeFile(raw, "\x02L\rD11\rE\r");
    submit(p, raw, "raw-wrong", state);
    EXPECT_EQ("failed", state);
  } else {
    // ZPL II on a DPL printer is drawn and printed as DPL labels, never passed on.
    std::string raw = dir.file(std::string(p.name) + ".raw");
    writeFile(raw, "^XA^PW200^LL100^FO10,10^GB100,50,50^FS^XZ");
    std::string got = submit(p, raw, "raw-wrong", state);
    EXPECT_EQ("completed", state);
    EXPECT_EQ(std::string::npos, got.find("^XA"));
    EXPECT_NE(std::string::npos, got.find("\x02L"));
  }
}

std::vector<FormatCase> formatCases()
{
  std::vector<FormatCase> cases;
  for (const Printer& p : kPrinters) {
    for (const char* format : {"pwg", "pdf", "raw", "raw_wrong"})
      cases.push_back({&p, format});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Drivers, EveryFormat, ::testing::ValuesIn(formatCases()),
                         [](const ::testing::TestParamInfo<FormatCase>& info) {
                           return std::string(info.param.printer->name) + "_" + info.param.format;
                         });

// PNG: a label rendered at 203 dpi prints as the PDF it came from does; a cut PNG fails its
// job and nothing else.
TEST_F(AppServer, PngPrintsAndACutOneFailsAlone)
{
  start();
  addPrinters();
  const Printer& z = kPrinters[0];
  std::string pdf = dir.file("label.pdf");
  ASSERT_EQ(0, runProgram(MAKE_PDF_PATH, {{"4x6in", pdf}, env}).status);
  std::string png = dir.file("label.png");
  RunResult render = runProgram("/usr/bin/pdftoppm", {{"-r", "203", "-gray", "-png", "-singlefile", pdf, dir.file("label")}, env});
  ASSERT_EQ(0, render.status) << "pdftoppm (poppler-utils) is needed for the PNG jobs";
  std::string state;
  std::string fromPng = submit(z, png, "png-submit", state);
  EXPECT_EQ("completed", state);
  EXPECT_GT(fromPng.size(), 1000u);
  EXPECT_EQ(fromPng, ipptool(z, png, "image/png", "png-ipptool", state));
  std::string cut = dir.file("cut.png");
  writeFile(cut, readFile(png).substr(0, 5000));
  submit(z, cut, "png-cut", state);
  EXPECT_EQ("failed", state);
  ipptool(z, cut, "image/png", "png-cut-ipptool", state);
  EXPECT_EQ("failed", state);
  submit(z, png, "png-after", state);
  EXPECT_EQ("completed", state);
}

// The Label Settings page's form, posted from this host with the page's own session token,
// changes the printer's settings; a post without the token changes nothing.
TEST_F(AppServer, TheLabelSettingsFormChangesTheSettings)
{
  start();
  addPrinters();
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/z203/label";
  std::string jar = dir.file("cookies");
  auto curl = [&](std::vector<std::string> args) {
    std::vector<std::string> all = {"-s", "--max-time", "20", "-c", jar, "-b", jar};
    all.insert(all.end(), args.begin(), args.end());
    return runProgram("/usr/bin/curl", {all, env});
  };
  RunResult page = curl({url});
  ASSERT_EQ(0, page.status) << page.err;
  const std::string field = "name=\"session\" value=\"";
  std::size_t at = page.out.find(field);
  ASSERT_NE(std::string::npos, at) << page.out;
  at += field.size();
  std::string token = page.out.substr(at, page.out.find('"', at) - at);

  RunResult forged = curl({"--data", "label-mode-configured=cutter", url});
  EXPECT_NE(std::string::npos, forged.out.find("Invalid form data.")) << forged.out;

  RunResult posted = curl({"--data", "session=" + token + "&label-mode-configured=rewind"
                                     "&label-tear-offset-configured=2.5&printer-darkness-configured=80"
                                     "&print-method=direct-thermal&label-pause=on",
                           url});
  EXPECT_NE(std::string::npos, posted.out.find("Changes saved.")) << posted.out;
  EXPECT_NE(std::string::npos, posted.out.find("value=\"rewind\" selected")) << posted.out;

  // The next job carries them: rewind (^MMR), darkness 24 of 30 (~SD24), tear-off +2.5 mm
  // (~TA020 at 8 dots/mm), direct thermal (^MTD), pause (^PP... once a label).
  std::string pwg = dir.file("label.pwg");
  writePwgLabel(pwg, 203);
  std::string state;
  std::string got = submit(kPrinters[0], pwg, "after-form", state);
  EXPECT_EQ("completed", state);
  for (const char* command : {"^MMR", "~SD24", "~TA020", "^MTD"})
    EXPECT_NE(std::string::npos, got.find(command)) << command << " in " << got.substr(0, 160);
}

TEST_F(AppServer, PrintersAndSettingsSurviveARestart)
{
  start();
  addPrinters();
  RunResult r = app({"modify", "-d", "z203", "-o", "label-mode-configured=peel-off", "-o",
                     "printer-darkness-configured=100", "-o", "label-mirror-default=true"});
  ASSERT_EQ(0, r.status) << r.err;
  stop();

  start();
  RunResult printers = app({"printers"});
  for (const Printer& p : kPrinters)
    EXPECT_NE(std::string::npos, printers.out.find(p.name)) << printers.out;

  // The restored settings reach the printer: peel-off (^MMP), darkness 30 (~SD30), mirror
  // (^PMY).
  std::string pwg = dir.file("label.pwg");
  writePwgLabel(pwg, 203);
  std::string state;
  std::string got = submit(kPrinters[0], pwg, "after-restart", state);
  EXPECT_EQ("completed", state);
  EXPECT_NE(std::string::npos, got.find("^MMP")) << got.substr(0, 120);
  EXPECT_NE(std::string::npos, got.find("~SD30")) << got.substr(0, 120);
  EXPECT_NE(std::string::npos, got.find("^PMY")) << got.substr(0, 120);

  // A job's own vendor attribute wins over the printer's default: negative print.
  RunResult job = app({"submit", "-d", "z203", "-t", "reverse", "-o", "label-reverse=true", pwg});
  ASSERT_EQ(0, job.status) << job.err;
  got = waitForJob(kPrinters[0], "reverse", state);
  EXPECT_NE(std::string::npos, got.find("^LRY")) << got.substr(0, 120);

  // The label settings page shows the restored settings.
  std::string page = httpGet(port, "/z203/label");
  EXPECT_EQ(0u, page.find("HTTP/1.1 200")) << page.substr(0, 200);
  EXPECT_NE(std::string::npos, page.find("value=\"peel-off\" selected")) << page;
  EXPECT_NE(std::string::npos, page.find("name=\"label-mirror\" checked")) << page;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Raw ZPL II from clients: previewed on a ZPL printer, printed drawn on a DPL printer

namespace {

// The Content-Length of a reply's head; -1 when it has none.
long long contentLength(const std::string& head)
{
  std::string lower = head;
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::size_t at = lower.find("\r\ncontent-length:");
  return at == std::string::npos ? -1 : std::atoll(lower.c_str() + at + 17);
}

// An HTTP GET's body (Content-Length long), or empty; every read bounded.
std::string fetch(int port, const std::string& path)
{
  int fd = connectLoopback(port, 20);
  if (fd < 0)
    return {};
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nConnection: close\r\n\r\n";
  std::string text;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[16384];
    for (;;) {
      std::size_t end = text.find("\r\n\r\n");
      if (end != std::string::npos) {
        long long length = contentLength(text.substr(0, end));
        if ((length >= 0 && text.size() >= end + 4 + static_cast<std::size_t>(length)) ||
            text.find("</html>", end) != std::string::npos)
          break;
      }
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0)
        break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  std::size_t end = text.find("\r\n\r\n");
  if (text.rfind("HTTP/1.1 200", 0) != 0 || end == std::string::npos)
    return {};
  std::string body = text.substr(end + 4);
  long long length = contentLength(text.substr(0, end));
  if (length >= 0)
    body.resize(std::min<std::size_t>(body.size(), static_cast<std::size_t>(length)));
  return body;
}

// The labels zplrender draws of a job at `dpi` with the label font.
std::vector<zplrender::Label> drawZpl(const std::string& zpl, int dpi)
{
  std::ifstream file(zplrender::kLabelFontPath, std::ios::binary);
  std::vector<std::uint8_t> font{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::string error;
  zplrender::Options options;
  options.dpi = dpi;
  options.font = zplrender::loadLabelFont(std::move(font), error);
  EXPECT_TRUE(options.font) << error;
  zplrender::Result result;
  EXPECT_TRUE(zplrender::renderZpl({reinterpret_cast<const std::uint8_t*>(zpl.data()), zpl.size()},
                                   options, result))
      << result.error;
  return result.labels;
}

// Dots where a label read back from the printer's bytes and a drawn one differ (all of the
// larger when their sizes do).
std::size_t differingDots(const LabelImage& got, const zplrender::Bitmap& drawn)
{
  if (got.width != static_cast<std::uint32_t>(drawn.width) ||
      got.height != static_cast<std::uint32_t>(drawn.height))
    return std::size_t{got.width} * got.height + 1;
  std::size_t differ = 0;
  for (int y = 0; y < drawn.height; y++)
    for (int x = 0; x < drawn.width; x++)
      differ += labelDot(got, x, y) != zplrender::bitmapDot(drawn, x, y);
  return differ;
}

LabelJob readJob(const std::string& bytes)
{
  LabelJob job;
  JobError error;
  EXPECT_TRUE(parseLabelJob({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()}, job, error))
      << error.what;
  return job;
}

const std::string kShippingLabel =
    "\r\n^XA^CI28^PW600^LL400^FO20,20^GB560,360,4^FS"
    "^FO50,50^A0N,40,40^FDParcel 7 of 9^FS"
    "^FO50,120^BY2^BCN,140,Y,N,N^FD00340123450000000017^FS^XZ\r\n";

}  // namespace

// A client's ZPL job goes to a ZPL printer unchanged, and its Label Preview page shows it as
// the renderer draws it.
TEST_F(AppServer, RawZplIsPreviewedOnItsPrinter)
{
  start();
  addPrinters();
  const Printer& z = kPrinters[0];
  std::string file = dir.file("ship.zpl");
  writeFile(file, kShippingLabel);
  std::string state;
  EXPECT_EQ(kShippingLabel, ipptool(z, file, "application/vnd.zebra-zpl", "zpl-preview", state));
  EXPECT_EQ("completed", state);

  std::string page = fetch(port, "/z203/preview");
  for (const char* text : {"zpl-preview", "600 x 400 dots, ", "00340123450000000017"})
    EXPECT_NE(std::string::npos, page.find(text)) << text << "\n" << page;
  std::size_t img = page.find("<img src=\"/z203/preview.png?job=");
  ASSERT_NE(std::string::npos, img) << page;
  std::size_t src = img + 10, quote = page.find('"', src);
  std::string url = page.substr(src, quote - src);
  ASSERT_NE(std::string::npos, url.find("&amp;label=1")) << url;
  url.replace(url.find("&amp;"), 5, "&");
  pngcheck::Grey shown = pngcheck::decodePng(fetch(port, url));
  std::vector<zplrender::Label> drawn = drawZpl(kShippingLabel, 203);
  ASSERT_EQ(1u, drawn.size());
  EXPECT_EQ(0u, pngcheck::differingDots(shown, 600, 400, drawn[0].image.rowBytes, drawn[0].image.bits));
}

// The server's peak memory so far (VmHWM), in kB; -1 when it cannot be read.
static long peakKb(pid_t pid)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0)
      return std::atol(line.c_str() + 6);
  }
  return -1;
}

// A client's raw ZPL job whose one label takes 50 MB of dots, more than the renderer's 64 MiB
// leaves it: the job prints (it goes to the printer as it is), and its preview says why it
// cannot be drawn.  The drawing was tried in the renderer: the server's peak memory did not
// grow by the label's size.  The server goes on: it prints the next job and previews it.
TEST_F(AppServer, AHostileRawZplPreviewShowsWhyAndTheServerGoesOn)
{
  start({"-o", "render-memory=64"});
  addPrinters();
  const Printer& z = kPrinters[0];
  std::string huge = "^XA^PW20000^LL20000^FO0,0^GB10,10,5^FS^FO9,9^A0N,20,20^FDx^FS^XZ";
  std::string file = dir.file("huge.zpl");
  writeFile(file, huge);
  std::string state;
  EXPECT_EQ(huge, ipptool(z, file, "application/vnd.zebra-zpl", "huge-label", state));
  EXPECT_EQ("completed", state);

  long before = peakKb(server);
  std::string page = fetch(port, "/z203/preview");
  long after = peakKb(server);
  EXPECT_NE(std::string::npos, page.find("huge-label")) << page;
  EXPECT_NE(std::string::npos,
            page.find("The preview could not be drawn: it needs more than the 64 MiB of memory allowed."))
      << page;
  EXPECT_EQ(std::string::npos, page.find("<img src=\"/z203/preview.png")) << page;
  ASSERT_GT(before, 0);
  EXPECT_LT(after - before, 24 * 1024) << "server peak " << before << " kB, then " << after << " kB";
  std::size_t title = page.find("<h2 class=\"title\">Job ");
  ASSERT_NE(std::string::npos, title) << page;
  int hugeId = std::atoi(page.c_str() + title + 20);
  EXPECT_EQ("", fetch(port, "/z203/preview.png?job=" + std::to_string(hugeId) + "&label=1"));

  file = dir.file("ship.zpl");
  writeFile(file, kShippingLabel);
  EXPECT_EQ(kShippingLabel, ipptool(z, file, "application/vnd.zebra-zpl", "after-huge", state));
  EXPECT_EQ("completed", state);
  page = fetch(port, "/z203/preview");
  EXPECT_NE(std::string::npos, page.find("600 x 400 dots, ")) << page;
  EXPECT_NE(std::string::npos, page.find("The preview could not be drawn")) << page;
  std::size_t img = page.find("<img src=\"/z203/preview.png?job=");
  ASSERT_NE(std::string::npos, img) << page;
  std::size_t src = img + 10, quote = page.find('"', src);
  std::string url = page.substr(src, quote - src);
  url.replace(url.find("&amp;"), 5, "&");
  pngcheck::Grey shown = pngcheck::decodePng(fetch(port, url));
  EXPECT_EQ(600u, shown.width);
}

// A DPL printer prints a ZPL job (declared or sniffed) drawn at its resolution: read back
// from the device's bytes, each label is the renderer's drawing dot for dot.  A hostile job
// fails with a reason, and the printer prints the next job.
TEST_F(AppServer, DplPrintersPrintZplDrawn)
{
  start();
  addPrinters();
  const Printer& d = kPrinters[2];
  std::string file = dir.file("ship.zpl");
  writeFile(file, kShippingLabel);
  std::string state;
  std::string sent = ipptool(d, file, "application/vnd.zebra-zpl", "zpl-on-dpl", state);
  ASSERT_EQ("completed", state) << readFile(dir.file("log"));
  LabelJob job = readJob(sent);
  EXPECT_EQ(JobLanguage::dpl, job.language);
  std::vector<zplrender::Label> drawn = drawZpl(kShippingLabel, 203);
  ASSERT_EQ(1u, job.labels.size());
  ASSERT_EQ(1u, drawn.size());
  EXPECT_EQ(0u, differingDots(job.labels[0].image, drawn[0].image));

  // ZPL declared as DPL is still drawn, never sent to the printer as it is.
  EXPECT_EQ(sent, ipptool(d, file, "application/vnd.datamax-dpl", "zpl-as-dpl", state));
  EXPECT_EQ("completed", state);

  // Two labels, the second of two copies with a serial number, sent as octet-stream.
  std::string two = "^XA^PW400^LL200^FO20,20^A0N,30,30^FDFirst^FS^XZ"
                    "^XA^PW400^LL200^FO20,20^BY2^BCN,60,Y,N,N^SN001,1,Y^FS^PQ2^XZ";
  writeFile(file, two);
  job = readJob(submit(d, file, "zpl-two", state));
  EXPECT_EQ("completed", state);
  drawn = drawZpl(two, 203);
  ASSERT_EQ(3u, drawn.size());
  ASSERT_EQ(3u, job.labels.size());
  for (std::size_t i = 0; i < 3; i++)
    EXPECT_EQ(0u, differingDots(job.labels[i].image, drawn[i].image))
        << "label " << i + 1 << ": " << job.labels[i].image.width << " x " << job.labels[i].image.height
        << " dots printed, " << drawn[i].image.width << " x " << drawn[i].image.height << " drawn";

  // A DPL job has one label size, its first label's: a smaller label prints on it from the
  // top left corner; a larger one stops the job with the reason.
  std::string shorter = "^XA^PW400^LL200^FO20,20^GB100,100,100^FS^XZ"
                        "^XA^PW200^LL100^FO10,10^GB50,50,50^FS^XZ";
  writeFile(file, shorter);
  job = readJob(ipptool(d, file, "application/vnd.zebra-zpl", "zpl-sizes", state));
  EXPECT_EQ("completed", state);
  drawn = drawZpl(shorter, 203);
  ASSERT_EQ(2u, job.labels.size());
  ASSERT_EQ(2u, drawn.size());
  const LabelImage& second = job.labels[1].image;
  EXPECT_EQ(job.labels[0].image.width, second.width);
  EXPECT_EQ(job.labels[0].image.height, second.height);
  long long black = 0;
  for (std::uint32_t y = 0; y < second.height; y++)
    for (std::uint32_t x = 0; x < second.width; x++)
      if (labelDot(second, x, y)) {
        black++;
        EXPECT_TRUE(zplrender::bitmapDot(drawn[1].image, static_cast<int>(x), static_cast<int>(y)))
            << x << "," << y;
      }
  EXPECT_EQ(50 * 50, black);
  writeFile(file, "^XA^PW200^LL100^FO10,10^GB50,50,50^FS^XZ^XA^PW400^LL200^FO20,20^GB100,100,100^FS^XZ");
  ipptool(d, file, "application/vnd.zebra-zpl", "zpl-larger", state);
  EXPECT_EQ("failed", state);
  std::string log = readFile(dir.file("log"));
  EXPECT_NE(std::string::npos, log.find("Label 2 is 400 x 200 dots, larger than the job"));
  EXPECT_NE(std::string::npos, log.find("first label (200 x 100 dots)"));

  // Hostile jobs: a label too large to draw, more copies than a job prints.
  const std::pair<const char*, const char*> hostile[] = {
      {"^XA^PW32000^LL32000^FO0,0^GB32000,32000,32000^FS^XZ", "32000 x 32000"},
      {"^XA^PW200^LL100^FO10,10^GB50,50,50^FS^PQ99999999^XZ", "more than 1000 labels"},
      {"^XA^PW200^LL100^FO10,10^GB50,50,50^FS^XZ^XA^PW200^LL100^FO10,10^GB5", "no ^XZ"}};
  int n = 0;
  for (const auto& [zpl, reason] : hostile) {
    std::string name = "zpl-hostile-" + std::to_string(++n);
    writeFile(file, zpl);
    EXPECT_EQ("", ipptool(d, file, "application/vnd.zebra-zpl", name, state));
    EXPECT_EQ("failed", state);
    EXPECT_NE(std::string::npos, readFile(dir.file("log")).find(reason)) << reason;
  }
  writeFile(file, kShippingLabel);
  EXPECT_EQ(sent, ipptool(d, file, "application/vnd.zebra-zpl", "zpl-after", state));
  EXPECT_EQ("completed", state);
}

TEST_F(AppServer, LetterSheetIsCroppedToItsLabelUnlessThePrinterKeepsPagesWhole)
{
  // A 4 x 6 in label beside its instructions on a Letter page: cropped (the job's log says so)
  // by default; with label-crop-page off the whole page prints instead, and the output differs.
  start();
  addPrinters();
  corpus::Label label = corpus::shippingLabel(1, BARCODE_QRCODE);
  corpus::Page page;
  corpus::drawLabel(page, label, 18, 792 - 18 - 432);
  corpus::drawInstructions(page, 330, 300, 250, 470);
  std::string pdf = dir.file("letter.pdf");
  writeFile(pdf, corpus::pdfOf({page}));
  std::string state;
  std::string cropped = submit(kPrinters[0], pdf, "cropped", state);
  EXPECT_EQ("completed", state);
  EXPECT_NE(std::string::npos, readFile(dir.file("log")).find("Cropped the 4 x 6 in label from the Letter page"));

  RunResult r = app({"modify", "-d", kPrinters[0].name, "-o", "label-crop-page-default=false"});
  ASSERT_EQ(0, r.status) << r.err;
  std::string whole = submit(kPrinters[0], pdf, "whole", state);
  EXPECT_EQ("completed", state);
  EXPECT_GT(cropped.size(), 1000u);
  EXPECT_GT(whole.size(), 1000u);
  EXPECT_NE(cropped, whole);
  EXPECT_NE(std::string::npos, readFile(dir.file("log")).find("Printed at 47 %"));
}
