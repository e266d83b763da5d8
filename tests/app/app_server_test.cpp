// app_server_test.cpp: label-printer-app as a server; jobs through the `submit` sub-command
// and through CUPS's ipptool, each printer's file device checked byte for byte against the
// filter's output for the same page and settings.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "appserver.h"
#include "labelcorpus.h"

#include <zint.h>

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
  } else {
    // A document in the other printer language is not this printer's: it fails.
    std::string raw = dir.file(std::string(p.name) + ".raw");
    writeFile(raw, p.zpl ? std::string("\x02L\rD11\rE\r") : std::string("^XA^XZ"));
    submit(p, raw, "raw-wrong", state);
    EXPECT_EQ("failed", state);
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
