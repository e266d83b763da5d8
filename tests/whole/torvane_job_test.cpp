// torvane_job_test.cpp: whole-program tests of the ZPL filter, run the way CUPS runs it.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testsupport;
using namespace std::literals;

namespace {

std::vector<std::string> numbers(int from, int to)
{
  std::vector<std::string> v;
  for (int i = from; i <= to; i++)
    v.push_back(std::to_string(i));
  return v;
}

// The options of a ZPL label printer, with the defaults of the worked preamble below.
std::vector<PpdOption> zplOptions()
{
  return {
      {"MediaType", "2", numbers(0, 2)},       {"PageType", "2", numbers(0, 2)},
      {"ImageControl", "0", numbers(0, 1)},    {"OutMode", "0", numbers(0, 3)},
      {"Darkness", "15", numbers(0, 30)},      {"PrintPosition", "20", numbers(0, 40)},
      {"TearoffPosition", "20", numbers(0, 40)}, {"PrintMirror", "0", numbers(0, 1)},
      {"Inverse", "0", numbers(0, 2)},         {"PrintSpeed", "3", numbers(0, 11)},
      {"Pause", "0", numbers(0, 3)},
  };
}

const std::string kPreamble =
    "\x10" "CT~~CD,~CC^~CT~^XA~TA000~JSN^LT0^MNW^MTT^PON^PMN^LH0,0^JMA^PR4,4~SD15^JUS^LRN^CI0^XZ";

const FakeHost kDebian = {"Debian GNU/Linux 12 \\n \\l\n\n",
                          "Linux version 6.1.0-18-amd64 (debian-kernel@lists.debian.org)\n"};

// A small page whose bitmap is written out by hand below: 10 dots wide, 3 rows.
Page tinyPage(unsigned dpi = 203)
{
  return pageFromPicture({"#.........", "##########", "#........#"}, dpi);
}

const std::string kTinyDownload =
    "~DG000.GRF,128,4,"
    "8,\r\nHFC,\r\n804,\r\n,\r\n" + std::string(28, ':');
const std::string kTinyLabel =
    "^XA^MMT^PW10^LL3^LS0^FT0,32^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ^XA^ID000.GRF^FS^XZ";

class TorvaneJob : public ::testing::Test {
 protected:
  void SetUp() override
  {
    writePpd(ppd, zplOptions());
    env = {{"PPD", ppd}, {"PATH", installFakeHost(dir, kDebian)}, {"LANG", "en_US.UTF-8"}};
  }

  RunResult run(const std::vector<Page>& pages, const std::string& options = "")
  {
    writeRaster(raster, pages);
    return runRaster(options);
  }

  RunResult runRaster(const std::string& options = "")
  {
    return runProgram(TORVANE_PATH, {{"7", "user", "title", "1", options, raster}, env});
  }

  TempDir dir;
  std::string ppd = dir.file("zpl.ppd");
  std::string raster = dir.file("job.ras");
  std::map<std::string, std::string> env;
};

#define EXPECT_BYTES(expected, actual) EXPECT_EQ(expected, actual) << hexDiff(expected, actual)

TEST_F(TorvaneJob, TinyPageIsTheWholeJob)
{
  RunResult r = run({tinyPage()});
  EXPECT_EQ(0, r.status);
  EXPECT_BYTES(kPreamble + kTinyDownload + kTinyLabel, r.out);
  EXPECT_EQ((std::vector<std::string>{"PAGE: 1 1", "INFO: Ready to print."}), lines(r.err));
}

TEST_F(TorvaneJob, FourBySixLabelAt203Dpi)
{
  RunResult r = run({blankPage(812, 1218)});
  EXPECT_EQ(0, r.status);
  // 104 bytes a row, 1248 rows: one blank row and 1247 repeats of it.
  std::string expected = kPreamble + "~DG000.GRF,129792,104," + ",\r\n" + std::string(1247, ':') +
                         "^XA^MMT^PW812^LL1218^LS0^FT0,1248^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ"
                         "^XA^ID000.GRF^FS^XZ";
  EXPECT_BYTES(expected, r.out);
}

TEST_F(TorvaneJob, InverseFillsThePaddingBlackAndReversesTheBox)
{
  RunResult r = run({tinyPage()}, "Inverse=1");
  EXPECT_EQ(0, r.status);
  std::string download = "~DG000.GRF,128,4,"
                         "8I0JF\r\nHFC0JF\r\n8040JF\r\nNF\r\n" + std::string(28, ':');
  std::string label = "^XA^MMT^PW10^LL3^LS0^FT0,32^XG000.GRF,1,1^FS"
                      "^LRY^FO0,0^GB32,32,16^FS^LRN"
                      "^PQ1,0,1,Y^XZ^XA^ID000.GRF^FS^XZ";
  EXPECT_BYTES(kPreamble + download + label, r.out);
}

TEST_F(TorvaneJob, ReversingBoxScalesWithResolution)
{
  struct Case {
    unsigned dpi;
    std::string box;
  } cases[] = {
      {300, "^GB48,32,24"},        // 4 bytes x 12 dots per millimetre
      {600, "^GB96,32,48"},       // other resolutions: round(dpi / 25.4), 24 at 600 dpi
  };
  for (const Case& c : cases) {
    RunResult r = run({tinyPage(c.dpi)}, "Inverse=1");
    EXPECT_NE(std::string::npos, r.out.find("^LRY^FO0,0" + c.box + "^FS^LRN")) << c.dpi;
  }
}

TEST_F(TorvaneJob, InverseTwoFillsBlackWithoutBox)
{
  RunResult r = run({tinyPage()}, "Inverse=2");
  EXPECT_NE(std::string::npos, r.out.find("8I0JF\r\n"));
  EXPECT_EQ(std::string::npos, r.out.find("^LRY"));
}

TEST_F(TorvaneJob, TwoPagesShareOnePreambleAndGrowTheBitmap)
{
  Page wide = blankPage(100, 40);  // 16 bytes a row, 64 rows: larger than the first page
  wide.data[0] = 0xF0;
  RunResult r = run({tinyPage(), wide});
  EXPECT_EQ(0, r.status);
  std::string second = "~DG000.GRF,1024,16,"
                       "F,\r\n,\r\n" + std::string(62, ':') +
                       "^XA^MMT^PW100^LL40^LS0^FT0,64^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ"
                       "^XA^ID000.GRF^FS^XZ";
  EXPECT_BYTES(kPreamble + kTinyDownload + kTinyLabel + second, r.out);
}

TEST_F(TorvaneJob, JobOptionsOverridePpdDefaults)
{
  struct Case {
    std::string options;
    std::string expected;
  } cases[] = {
      {"Darkness=20", "^PR4,4~SD20^JUS"},
      {"", "^PR4,4~SD15^JUS"},
      {"PrintSpeed=0 Darkness=0", "^JMA~SD0^JUS"},
      {"PrintSpeed=11", "^PR12,62~SD15"},
      {"MediaType=0 PageType=0", "^LT0^MNN^PON"},
      {"MediaType=1 PageType=1", "^MNM^MTD^PON"},
      {"ImageControl=1 PrintMirror=1", "^POI^PMY^LH0,0"},
      {"Unknown=5", "^PR4,4~SD15^JUS"},
  };
  for (const Case& c : cases) {
    RunResult r = run({tinyPage()}, c.options);
    EXPECT_NE(std::string::npos, r.out.find(c.expected)) << c.options << "\n" << r.out.substr(0, 100);
  }
}

TEST_F(TorvaneJob, OffsetsCountHalfMillimetresFromTwenty)
{
  struct Case {
    int tearoff, top;
    unsigned dpi;
    std::string expected;
  } cases[] = {
      {21, 25, 203, "~TA004~JSN^LT20^"},
      {19, 10, 203, "~TA-004~JSN^LT-40^"},
      {0, 40, 203, "~TA-080~JSN^LT80^"},
      {40, 20, 203, "~TA080~JSN^LT0^"},
      {0, 40, 300, "~TA-120~JSN^LT120^"},
      // Other resolutions count round(dpi / 25.4) dots a millimetre: 24 at 600 dpi, 4 at 100.
      {22, 21, 600, "~TA024~JSN^LT12^"},
      {0, 40, 100, "~TA-040~JSN^LT40^"},
  };
  for (const Case& c : cases) {
    RunResult r = run({tinyPage(c.dpi)}, "TearoffPosition=" + std::to_string(c.tearoff) +
                                             " PrintPosition=" + std::to_string(c.top));
    EXPECT_NE(std::string::npos, r.out.find(c.expected)) << c.expected << "\n" << r.out.substr(0, 60);
  }
}

TEST_F(TorvaneJob, PauseAndOperationMode)
{
  struct Case {
    std::string options;
    std::string expected;
  } cases[] = {
      {"Pause=1", "^FS^PQ1,0,1,Y^PP^XZ"},
      {"Pause=2", "^FS^PQ1,1,1,N^XZ"},
      {"Pause=3", "^FS^PQ1,0,1,Y^XZ"},
      {"OutMode=3", "^XA^MMC^PW10"},
      {"OutMode=1", "^XA^MMR^PW10"},
  };
  for (const Case& c : cases) {
    RunResult r = run({tinyPage()}, c.options);
    EXPECT_NE(std::string::npos, r.out.find(c.expected)) << c.options;
  }
}

TEST_F(TorvaneJob, OptionsMissingFromThePpdWriteNoCommand)
{
  writePpd(ppd, {});
  RunResult r = run({tinyPage()});
  EXPECT_EQ(0, r.status);
  // Absent positions mean no offset (a printer would otherwise save a 10.5 mm shift);
  // absent tables write nothing; the absent Inverse (-1) fills black but draws no box.
  std::string expected = "\x10" "CT~~CD,~CC^~CT~^XA~TA000~JSN^LT0^LH0,0^JMA^JUS^LRN^CI0^XZ"
                         "~DG000.GRF,128,4,"
                         "8I0JF\r\nHFC0JF\r\n8040JF\r\nNF\r\n" + std::string(28, ':') +
                         "^XA^PW10^LL3^LS0^FT0,32^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ"
                         "^XA^ID000.GRF^FS^XZ";
  EXPECT_BYTES(expected, r.out);
}

TEST_F(TorvaneJob, ChoiceNumbersOutsideTheTablesWriteNoCommand)
{
  writePpd(ppd, {{"PageType", "3", {"3"}},
                 {"MediaType", "7Ribbon", {"7Ribbon"}},
                 {"Darkness", "31", {"31"}},
                 {"PrintSpeed", "12", {"12"}},
                 {"OutMode", "4", {"4"}},
                 {"ImageControl", "Normal", {"Normal"}},
                 {"Inverse", "0", {"0"}}});
  RunResult r = run({tinyPage()});
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.out.find("~JSN^LT0^PON^LH0,0^JMA^JUS^LRN"));
  EXPECT_NE(std::string::npos, r.out.find("^XA^PW10^LL3"));
}

TEST_F(TorvaneJob, AbsurdPositionsAreClampedToTheIntRange)
{
  writePpd(ppd, {{"PrintPosition", "99999999999", {"99999999999"}},
                 {"TearoffPosition", "-99999999999", {"-99999999999"}}});
  RunResult r = run({tinyPage()});
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.out.find("~TA-2147483647~JSN^LT2147483647^")) << r.out.substr(0, 80);
}

TEST_F(TorvaneJob, HostProbeDecidesTheZeroRun)
{
  struct Case {
    const char* name;
    FakeHost host;
    const char* lang;
    bool zeroRun;
  } cases[] = {
      {"Ubuntu banner", {"Ubuntu 22.04.3 LTS \\n \\l\n", ""}, "en_US.UTF-8", true},
      {"Fedora banner", {"Fedora release 39 (Thirty Nine)\n", ""}, "C", true},
      {"kernel built on ubuntu", {"Debian GNU/Linux 12\n", "Linux version 6.5 (gcc (Ubuntu 12.3))\n"}, "en_US.UTF-8", true},
      {"kernel names fedora", {"Other OS\n", "Linux 6.6.fc39 (mockbuild@fedora)\n"}, "", true},
      {"plain Debian", kDebian, "en_US.UTF-8", false},
      {"no release banner", {"", "Linux version (Ubuntu)\n"}, "en_US.UTF-8", false},
      {"Chinese locale on Ubuntu", {"Ubuntu 22.04\n", "Linux (ubuntu)\n"}, "zh_CN.UTF-8", false},
      {"Chinese locale on NFS desktop", {"方德桌面操作系统 V4.0\n", ""}, "zh_CN.UTF-8", true},
      {"NFS desktop, other locale", {"方德桌面操作系统 V4.0\n", ""}, "en_US.UTF-8", false},
  };
  for (const Case& c : cases) {
    TempDir host;
    env["PATH"] = installFakeHost(host, c.host);
    env["LANG"] = c.lang;
    RunResult r = run({tinyPage()});
    std::string expected = (c.zeroRun ? std::string(512, '\0') : "") + kPreamble;
    EXPECT_EQ(expected, r.out.substr(0, expected.size())) << c.name;
    EXPECT_EQ(expected.size() + kTinyDownload.size() + kTinyLabel.size(), r.out.size()) << c.name;
  }
}

TEST_F(TorvaneJob, ReadsStandardInputWithSixArguments)
{
  writeRaster(raster, {tinyPage()});
  RunResult r = runProgram(TORVANE_PATH, {{"7", "user", "title", "1", ""}, env, raster});
  EXPECT_EQ(0, r.status);
  EXPECT_BYTES(kPreamble + kTinyDownload + kTinyLabel, r.out);
}

TEST_F(TorvaneJob, WrongArgumentCountsAndMissingFiles)
{
  for (std::vector<std::string> args : {std::vector<std::string>{"1", "u", "t", "1"},
                                        std::vector<std::string>{"1", "u", "t", "1", "", "f", "x"}}) {
    RunResult r = runProgram(TORVANE_PATH, {args, env});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("ERROR: Usage: torvane job-id user title copies options [file]\n", r.err);
  }

  RunResult r = runProgram(TORVANE_PATH, {{"1", "u", "t", "1", "", dir.file("absent.ras")}, env});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("ERROR: Unable to open raster file \"" + dir.file("absent.ras") +
                "\": No such file or directory\n", r.err);
}

TEST_F(TorvaneJob, EmptyInputHasNoPages)
{
  writeFile(raster, "");
  RunResult r = runRaster();
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("ERROR: No pages found!\n", r.err);
}

TEST_F(TorvaneJob, StreamCutInsideAPageSendsNothingOfThatPage)
{
  Page p = blankPage(32, 64);
  for (size_t i = 0; i < p.data.size(); i++)
    p.data[i] = 0xFF;
  writeRaster(raster, {tinyPage()});
  std::string first = runRaster().out;
  writeRaster(raster, {tinyPage(), p});
  // Cut the second page short (raster rows are run-length coded: all-FF rows take a few
  // bytes each, so cut by size).
  std::string whole = readFile(raster);
  truncateFile(raster, static_cast<long>(whole.size()) - 20);
  RunResult r = runRaster();
  EXPECT_EQ(1, r.status);
  std::vector<std::string> err = lines(r.err);
  ASSERT_EQ(2u, err.size()) << r.err;
  EXPECT_EQ("PAGE: 1 1", err[0]);
  EXPECT_EQ(0u, err[1].find("ERROR: Page 2 ended after ")) << err[1];
  EXPECT_NE(std::string::npos, err[1].find(" of 64 lines")) << err[1];
  // The first label whole, nothing of the second.
  EXPECT_BYTES(first, r.out);
}

TEST_F(TorvaneJob, MissingOrBrokenPpdStopsBeforeAnyOutput)
{
  writeRaster(raster, {tinyPage()});
  env.erase("PPD");
  RunResult r = runRaster();
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  ASSERT_EQ(1u, lines(r.err).size());
  EXPECT_EQ(0u, r.err.find("ERROR: "));

  for (std::string path : {dir.file("absent.ppd"), dir.path()}) {
    env["PPD"] = path;
    r = runRaster();
    EXPECT_EQ(1, r.status) << path;
    EXPECT_EQ("", r.out) << path;
    EXPECT_EQ(0u, r.err.find("ERROR: Unable to open PPD file \"" + path + "\"")) << r.err;
  }

  writeFile(ppd, "this is not a PPD file\n");
  env["PPD"] = ppd;
  r = runRaster();
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_NE(std::string::npos, r.err.find(ppd));
}

TEST_F(TorvaneJob, PageThatIsNotOneBitPerDotStopsTheJob)
{
  Page gray = blankPage(16, 4);
  gray.header.cupsBitsPerColor = 8;
  gray.header.cupsBitsPerPixel = 8;
  gray.header.cupsColorSpace = CUPS_CSPACE_W;
  gray.header.cupsBytesPerLine = 16;
  gray.data.assign(64, 0x80);

  // First page: nothing at all is written.
  RunResult r = run({gray});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(0u, r.err.find("ERROR: Page 1 is not one bit per dot"));

  // Second page: the first stays complete, nothing of the second is written.
  r = run({tinyPage(), gray});
  EXPECT_EQ(1, r.status);
  EXPECT_BYTES(kPreamble + kTinyDownload + kTinyLabel, r.out);
  EXPECT_EQ(0u, r.err.find("PAGE: 1 1\nERROR: Page 2 is not one bit per dot"));
  EXPECT_EQ(std::string::npos, r.err.find("Ready to print"));
}

TEST_F(TorvaneJob, HugePageIsRefusedBeforeItsDownloadHeader)
{
  for (auto [w, h] : {std::pair{100000u, 100000u}, std::pair{2147483648u, 1u},
                      std::pair{8u, 4294967295u}}) {
    Page huge;
    huge.header = makeHeader(w, h);
    writeRaster(raster, {tinyPage(), huge});
    RunResult r = runRaster();
    EXPECT_EQ(1, r.status) << w << "x" << h;
    EXPECT_BYTES(kPreamble + kTinyDownload + kTinyLabel, r.out);
    EXPECT_EQ(0u, r.err.find("PAGE: 1 1\nERROR: Page 2 is too large")) << r.err;
  }
}

TEST_F(TorvaneJob, FailedOutputIsAnErrorNotSuccess)
{
  writeRaster(raster, {tinyPage()});
  RunResult full = runProgram(TORVANE_PATH, {{"7", "u", "t", "1", "", raster}, env, "", "/dev/full"});
  EXPECT_EQ(1, full.status);
  EXPECT_EQ(0u, full.err.find("ERROR: Unable to write print data")) << full.err;
  EXPECT_EQ(std::string::npos, full.err.find("Ready to print"));

  RunOptions closed{{"7", "u", "t", "1", "", raster}, env};
  closed.closeStdout = true;
  RunResult r = runProgram(TORVANE_PATH, closed);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.err.find("ERROR: Unable to write print data")) << r.err;
}

}  // namespace
