// silvane_job_test.cpp: silvane run as CUPS runs it, on raster files and PPDs made here.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "job.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// Printer bytes written out by hand.  STX is \002, CR \r.
const std::string kInit = "\001D\r\002N\r\002A1\r\002JE1\r";
const std::string kUpright = "\002u0\r";
const std::string kTearOff = "\002j23000\r";
const std::string kOutMode3 = "\002j23030\r";  // also what modes 4 and 5 send
const std::string kLabelStart = "\002L\r";
const std::string kImageRecord = std::string("1Y1199900000000\r") + std::string(5, '\0');
const std::string kPageStart = kLabelStart + kImageRecord;
const std::string kPageEnd = "\377\017\rE\r";
const std::string kZeroRun(512, '\0');
const std::string kDot = "\200\377\001";  // a line with one dot on its left: 80, then FF 01

std::string paper(const std::string& height, const std::string& width)
{
  return "\002c" + height + "\r\002Kw" + width + "\r";
}

// The preamble of the default job below on a host that needs no zero run.
std::string preamble(const std::string& height = "0001", const std::string& width = "0008")
{
  return kInit + kUpright + paper(height, width) + kTearOff;
}

std::string repeat(const std::string& unit, int times)
{
  std::string s;
  for (int i = 0; i < times; i++)
    s += unit;
  return s;
}

Page dotPage()
{
  return pageFromPicture({"#......."});
}

// A page 8 dots wide and `height` lines high whose only printed line is `printedAt`.
Page pageWithDotAt(unsigned height, unsigned printedAt)
{
  Page p = blankPage(8, height);
  p.data[printedAt] = 0x80;
  return p;
}

class SilvaneJob : public ::testing::Test {
 protected:
  // PPD choices by option: "keyword" or "keyword/display text"; one choice per option, which
  // is its default.  The defaults send the fewest commands.
  std::map<std::string, std::string> choices = {
      {"PrintType", "0"},    {"PageType", "0"},      {"OutMode", "0"},
      {"ImageControl", "0"}, {"Darkness", "0"},      {"PrintPosition", "0"},
      {"OutPaperPosition", "0/0mm"},
  };
  FakeHost host = {"Debian GNU/Linux 12 \\n \\l\n\n",
                   "Linux version 6.1.0-18-amd64 (gcc-12 (Debian 12.2.0-14)) #1 SMP\n"};
  std::optional<std::string> lang = "en_US.UTF-8";
  TempDir dir;

  std::map<std::string, std::string> environment()
  {
    std::vector<PpdOption> options;
    for (const auto& [name, choice] : choices)
      options.push_back({name, choice.substr(0, choice.find('/')), {choice}});
    writePpd(dir.file("printer.ppd"), options);
    // The fake host keeps the texts of an earlier run unless a new text replaces them.
    std::filesystem::remove(dir.file("issue"));
    std::filesystem::remove(dir.file("version"));
    std::map<std::string, std::string> env = {{"PPD", dir.file("printer.ppd")},
                                              {"PATH", installFakeHost(dir, host)}};
    if (lang)
      env["LANG"] = *lang;
    return env;
  }

  RunResult runFile(const std::string& raster, const std::string& stdoutFile = "")
  {
    return runProgram(SILVANE_PATH, RunOptions({"42", "user", "title", "1", "", raster},
                                               environment(), "", stdoutFile));
  }

  RunResult run(const std::vector<Page>& pages)
  {
    writeRaster(dir.file("job.ras"), pages);
    return runFile(dir.file("job.ras"));
  }
};

#define EXPECT_BYTES(expected, actual) EXPECT_EQ(expected, actual) << hexDiff(expected, actual)

TEST_F(SilvaneJob, WorkedJobOnUbuntuHost)
{
  host.issue = "Ubuntu 22.04.4 LTS \\n \\l\n";
  choices["PrintType"] = "1";
  choices["PageType"] = "3";
  choices["OutMode"] = "1";
  choices["OutPaperPosition"] = "1/2.5mm";
  RunResult r = run({blankPage(832, 1218)});

  // 1218 blank lines: four runs of 254, then 202 (CA).
  std::string expected = kZeroRun + kInit + "\002j28000\r" + "\002j24040\r" + kUpright +
                         "\002c1218\r\002Kw0832\r" + "\002j23020\r" + "\002Kf20\r" +
                         kPageStart + hexBytes("FF FE FF FE FF FE FF FE FF CA") + kPageEnd;
  EXPECT_BYTES(expected, r.out);
  std::vector<std::string> err;
  for (int percent : {0, 10, 21, 31, 42, 52, 63, 73, 84, 94})
    err.push_back("INFO: Printing page 1, " + std::to_string(percent) + "% complete...");
  err.push_back("PAGE: 1 1");
  err.push_back("INFO: Ready to print.");
  EXPECT_EQ(lines(r.err), err);
  EXPECT_EQ(r.status, 0);
}

TEST_F(SilvaneJob, FiveLinePage)
{
  RunResult r = run({pageWithDotAt(5, 2)});
  EXPECT_BYTES(preamble("0005", "0008") + kPageStart + hexBytes("FF 02 80 FF 01 FF 02") +
                   kPageEnd,
               r.out);
  EXPECT_EQ(lines(r.err), (std::vector<std::string>{
                              "INFO: Printing page 1, 0% complete...", "PAGE: 1 1",
                              "INFO: Ready to print."}));
  EXPECT_EQ(r.status, 0);
}

// The digits are the first page's height and its width in dots (bytes per line x 8).
TEST_F(SilvaneJob, PaperCommandDigits)
{
  struct Case {
    unsigned width, height;
    const char* h;
    const char* w;
  };
  for (const Case& c : {Case{8, 5, "0005", "0008"}, Case{833, 2, "0002", "0840"},
                        Case{9992, 9999, "9999", "9992"}}) {
    RunResult r = run({blankPage(c.width, c.height)});
    EXPECT_EQ(r.out.substr(0, preamble().size()), preamble(c.h, c.w)) << c.width << "x" << c.height;
  }
}

// Four digits cannot carry a label of 10,000 dots: it would go out as a much smaller one, so
// such a page is refused before any byte of it; the pages before it stay whole.
TEST_F(SilvaneJob, LabelsOfTenThousandDotsAreRefused)
{
  for (auto [w, h] : {std::pair{8u, 10000u}, std::pair{10000u, 8u}, std::pair{80008u, 1u}}) {
    RunResult r = run({blankPage(w, h)});
    EXPECT_EQ(1, r.status) << w << "x" << h;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("ERROR: Page 1 is too large")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("at most 9999 dots")) << r.err;

    RunResult two = run({pageWithDotAt(5, 2), blankPage(w, h)});
    RunResult one = run({pageWithDotAt(5, 2)});
    EXPECT_EQ(1, two.status);
    // The first label whole; no job end, since the job did not end as planned.
    EXPECT_BYTES(one.out, two.out);
  }
}

TEST_F(SilvaneJob, BlankRunsBeforeAndAfterPrintedLine)
{
  struct Case {
    unsigned n;
    const char* height;  // n blank lines and the printed one
    const char* run;
  };
  const Case cases[] = {{1, "0002", "FF 01"},         {253, "0254", "FF FD"},
                        {254, "0255", "FF FE FF 00"}, {255, "0256", "FF FE FF 01"},
                        {300, "0301", "FF FE FF 2E"}, {508, "0509", "FF FE FF FE FF 00"},
                        // FF 0F would end the image: 15 lines go as 14 and 1.
                        {15, "0016", "FF 0E FF 01"},  {269, "0270", "FF FE FF 0E FF 01"}};
  for (const Case& c : cases) {
    // Page 1: the blank lines above the printed line; page 2: below it.
    RunResult r = run({pageWithDotAt(c.n + 1, c.n), pageWithDotAt(c.n + 1, 0)});
    std::string runBytes = hexBytes(c.run);
    EXPECT_BYTES(preamble(c.height) + kPageStart + runBytes + kDot + kPageEnd + kPageStart +
                     kDot + runBytes + kPageEnd,
                 r.out);
    EXPECT_EQ(r.status, 0) << c.n;
  }
}

TEST_F(SilvaneJob, ProgressEveryHundredAndTwentyEightLines)
{
  RunResult r = run({blankPage(8, 100), blankPage(8, 129)});
  EXPECT_EQ(lines(r.err), (std::vector<std::string>{
                              "INFO: Printing page 1, 0% complete...", "PAGE: 1 1",
                              "INFO: Printing page 2, 0% complete...",
                              "INFO: Printing page 2, 99% complete...", "PAGE: 2 1",
                              "INFO: Ready to print."}));
}

// A page far longer than the label-size command can say is refused at its header: no line
// of it is read or sent, however long the stream behind it.
TEST_F(SilvaneJob, VeryLongPageIsRefusedAtItsHeader)
{
  Page p = blankPage(8, 100);
  p.header.cupsHeight = 42949761;
  writeRaster(dir.file("long.ras"), {p});
  RunResult r = runFile(dir.file("long.ras"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(lines(r.err), std::vector<std::string>{"ERROR: Page 1 is too large: 8 x 42949761 "
                                                   "dots, and a DPL label may be at most 9999 "
                                                   "dots wide and high"});
  EXPECT_EQ(r.status, 1);
}

// The preamble and label size come once, from the first page; every page is its own label;
// the job end comes once.  The second page is wider than 512 bytes, so its line buffer must
// grow and its encoded line (every byte escaped: twice the width) must fit whole.
TEST_F(SilvaneJob, MultiPageJobWithWiderLaterPage)
{
  choices["OutMode"] = "4abc003";
  choices["PrintPosition"] = "17";
  Page first = dotPage();
  Page second = blankPage(600 * 8, 2);
  second.header.NumCopies = 3;
  for (std::size_t i = 0; i < 600; i++)
    second.data[600 + i] = (i % 2) ? 0xFE : 0xFF;
  RunResult r = run({first, second});

  std::string label = "\002JY0000\r" + kPageStart;
  EXPECT_BYTES(kInit + kUpright + paper("0001", "0008") + kOutMode3 + label + kDot + kPageEnd +
                   label + hexBytes("FF 01") + repeat(hexBytes("C1 FF C1 FE"), 300) +
                   hexBytes("FF 01") + kPageEnd + "\002JP003\r",
               r.out);
  // The header's NumCopies is not what was printed: one label a page.
  EXPECT_EQ(lines(r.err), (std::vector<std::string>{
                              "INFO: Printing page 1, 0% complete...", "PAGE: 1 1",
                              "INFO: Printing page 2, 0% complete...", "PAGE: 2 1",
                              "INFO: Ready to print."}));
  EXPECT_EQ(r.status, 0);
}

// A stream that ends inside a page: the lines read are sent and the label is closed, so the
// printer is left sane; the job fails and gets no job end.
TEST_F(SilvaneJob, TruncatedStream)
{
  choices["OutMode"] = "5xyz120";
  Page second = pageFromPicture({"#.......", "........", ".#......", "........", "..#....."});
  writeRaster(dir.file("job.ras"), {dotPage(), second});
  // Sync word, two headers of 1796 bytes, one line of page 1 and the first three of page 2.
  truncateFile(dir.file("job.ras"), 4 + 1796 + 1 + 1796 + 3);
  RunResult r = runFile(dir.file("job.ras"));
  EXPECT_BYTES(kInit + kUpright + paper("0001", "0008") + kOutMode3 + kPageStart + kDot +
                   kPageEnd + kPageStart + kDot + hexBytes("FF 01 40 FF 01") + kPageEnd,
               r.out);
  EXPECT_EQ(lines(r.err).back(), "ERROR: Page 2 ended after 3 of 5 lines");
  EXPECT_EQ(r.status, 1);
}

// A job without pages still gets its job end; with no preamble the resolution is 0, so only
// the output mode's own position counts.
TEST_F(SilvaneJob, EmptyInputOnStandardInput)
{
  choices["OutMode"] = "4abc003";
  choices["OutPaperPosition"] = "1/2.5mm";
  writeFile(dir.file("empty.ras"), "");
  RunResult r = runProgram(SILVANE_PATH, RunOptions({"42", "user", "title", "1", ""},
                                                     environment(), dir.file("empty.ras")));
  EXPECT_BYTES(std::string("\002JP003\r"), r.out);
  EXPECT_EQ(lines(r.err), std::vector<std::string>{"ERROR: No pages found!"});
  EXPECT_EQ(r.status, 1);
}

TEST_F(SilvaneJob, HostProbe)
{
  struct Case {
    const char* issue;
    const char* version;
    const char* lang;  // null: LANG unset
    bool zeroRun;
  };
  const char* plain = "Linux version 6.1.0 (gcc-12) #1 SMP x86_64\n";
  const Case cases[] = {
      {"", "Linux version 6.1.0 ubuntu arm64\n", "en_US.UTF-8", false},
      {"", "Linux version 6.1.0 arm64\n", "zh_CN.UTF-8", false},
      {"方德桌面操作系统\n", plain, "zh_CN.UTF-8", true},
      {"Kylin Arm64\n", plain, "zh_CN.UTF-8", true},
      {"Ubuntu 22.04\n", plain, "zh_CN.UTF-8", false},
      {"Fedora release 39\n", plain, "zh_CN.UTF-8", false},
      {"Debian 12\n", "Linux version 6.1.0 Arm64\n", "zh_CN.UTF-8", true},
      {"Debian 12\n", "Linux version 6.1.0-arm64\n", "zh_CN.UTF-8", true},
      {"Fedora release 39\n", plain, "en_US.UTF-8", true},
      {"Ubuntu 22.04\n", plain, "en_US.UTF-8", true},
      {"Ubuntu 22.04\n", plain, nullptr, true},
      {"Debian 12 Arm64 方德桌面\n", plain, "en_US.UTF-8", false},
      {"Debian 12 ubuntu fedora\n", plain, "en_US.UTF-8", false},
      {"Debian 12\n", "Linux version 6.1.0 (Fedora 13.2.1)\n", "en_US.UTF-8", true},
      {"Debian 12\n", "Linux version 6.1.0.fc39.x86_64 fedora\n", "en_US.UTF-8", true},
      {"Debian 12\n", "Linux version 6.5.0 (Ubuntu 12.3.0)\n", "en_US.UTF-8", true},
      {"Debian 12\n", "Linux version 6.5.0-14-generic (buildd@ubuntu)\n", "en_US.UTF-8", true},
      {"Debian 12\n", "Linux version 6.1.0 arm64\n", "en_US.UTF-8", false},
  };
  for (const Case& c : cases) {
    host = {c.issue, c.version};
    lang = c.lang ? std::optional<std::string>(c.lang) : std::nullopt;
    RunResult r = run({dotPage()});
    EXPECT_BYTES((c.zeroRun ? kZeroRun : "") + preamble() + kPageStart + kDot + kPageEnd, r.out);
    EXPECT_EQ(r.status, 0) << c.issue << " / " << c.version;
  }
}

// The stop-position offset of the tear-off and peel-off modes, from the out-paper text.
TEST_F(SilvaneJob, OffsetCommand)
{
  struct Case {
    const char* outMode;
    const char* modeBytes;
    const char* outPaper;  // null: option missing
    unsigned dpi;
    const char* offset;
  };
  const Case cases[] = {
      {"1", "\002j23020\r", "1/2.5mm", 203, "\002Kf20\r"},
      {"1", "\002j23020\r", "1/2.5mm", 300, "\002Kf30\r"},
      {"1", "\002j23020\r", "1/2.5mm", 600, "\002Kf60\r"},  // round(600 / 25.4) = 24 a mm
      {"1", "\002j23020\r", "1/-1.5mm", 203, "\002Kf-12\r"},
      {"0", "\002j23000\r", "1/0.625mm", 203, "\002Kf05\r"},
      {"0", "\002j23000\r", "2/-0.625mm", 203, "\002Kf-05\r"},
      {"2", "\002j23010\r", "1/15.375mm", 203, "\002Kf123\r"},
      {"2", "\002j23010\r", "1/-15.375mm", 203, "\002Kf-123\r"},
      {"0", "\002j23000\r", "1/0mm", 203, "\002Kf00\r"},
      {"0", "\002j23000\r", "1/mm", 203, "\002Kf00\r"},
      {"0", "\002j23000\r", "1/5", 203, "\002Kf00\r"},
      {"0", "\002j23000\r", "1/12345678901234567890123mm", 203, "\002Kf2147483647\r"},
      {"0", "\002j23000\r", "0/2.5mm", 203, ""},
      {"0", "\002j23000\r", nullptr, 203, ""},
      {"3", "\002j23030\r", "1/2.5mm", 203, ""},
      {"4abc003", "\002j23030\r", "1/2.5mm", 203, ""},
  };
  for (const Case& c : cases) {
    choices["OutMode"] = c.outMode;
    if (c.outPaper)
      choices["OutPaperPosition"] = c.outPaper;
    else
      choices.erase("OutPaperPosition");
    RunResult r = run({pageFromPicture({"#......."}, c.dpi)});
    std::string head = kInit + kUpright + paper("0001", "0008") + c.modeBytes + c.offset;
    EXPECT_BYTES(head, r.out.substr(0, head.size()));
    EXPECT_EQ(r.out.substr(head.size(), kPageStart.size()), kPageStart)
        << c.outMode << " " << (c.outPaper ? c.outPaper : "missing");
  }
}

TEST_F(SilvaneJob, PrintPositionAndHeat)
{
  struct Case {
    const char* position;  // null: option missing
    const char* darkness;  // null: option missing
    unsigned dpi;
    std::string start;
  };
  const Case cases[] = {
      {"17", "11", 203, "\002JY0000\r\002L\rH10\r"},
      {"16", "0", 203, "\002JY-0004\r\002L\r"},
      {"1", "1", 203, "\002JY-0064\r\002L\rH00\r"},
      {"33", "31", 203, "\002JY0064\r\002L\rH30\r"},
      {"1", "0", 300, "\002JY-0096\r\002L\r"},
      {"0", "32", 203, "\002L\r"},
      {nullptr, nullptr, 203, "\002L\r"},
  };
  for (const Case& c : cases) {
    auto set = [&](const char* name, const char* choice) {
      if (choice)
        choices[name] = choice;
      else
        choices.erase(name);
    };
    set("PrintPosition", c.position);
    set("Darkness", c.darkness);
    Page dot = pageFromPicture({"#......."}, c.dpi);
    RunResult r = run({dot, dot});
    std::string page = c.start + kImageRecord + kDot + kPageEnd;
    EXPECT_BYTES(preamble() + page + page, r.out);
  }
}

// The out-paper position that ends a job in output modes 4 and 5.
TEST_F(SilvaneJob, JobEndPosition)
{
  struct Case {
    const char* outMode;
    const char* outPaper;  // null: option missing
    unsigned dpi;
    const char* end;
  };
  const Case cases[] = {
      {"4abc003", "1/2.5mm", 203, "\002JP023\r"},
      {"4abc003", "1/2.5mm", 300, "\002JP033\r"},
      {"4abc000", "1/-1.5mm", 203, "\002JP-12\r"},
      {"5xyz120", "0/2.5mm", 203, "\002JP120\r"},
      {"5xyz120", nullptr, 203, "\002JP120\r"},
      {"5", "1/2.5mm", 203, "\002JP025\r"},
      {"4abcxyz", "1/m", 203, "\002JP000\r"},
      {"4abc-05", "1/mm", 203, "\002JP-05\r"},
      {"3abc120", "1/2.5mm", 203, ""},
  };
  for (const Case& c : cases) {
    choices["OutMode"] = c.outMode;
    if (c.outPaper)
      choices["OutPaperPosition"] = c.outPaper;
    else
      choices.erase("OutPaperPosition");
    RunResult r = run({pageFromPicture({"#......."}, c.dpi)});
    std::string tail = kPageEnd + c.end;
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_BYTES(tail, r.out.substr(r.out.size() - tail.size())) << c.outMode;
    EXPECT_EQ(r.status, 0);
  }
}

// Choice numbers outside their tables, and options the PPD lacks (-1), send nothing for their
// setting.  An output mode above 5 has no command of its own but, being above 3, still ends
// the job with its position.
TEST_F(SilvaneJob, SettingsOutsideTheirTablesSendNothing)
{
  choices = {{"PrintType", "3"},    {"PageType", "4"}, {"ImageControl", "2"},
             {"OutMode", "6"},      {"Darkness", "40"}, {"PrintPosition", "0"}};
  RunResult r = run({dotPage()});
  EXPECT_BYTES(kInit + paper("0001", "0008") + kPageStart + kDot + kPageEnd + "\002JP006\r",
               r.out);

  choices.clear();
  r = run({dotPage()});
  EXPECT_BYTES(kInit + paper("0001", "0008") + kPageStart + kDot + kPageEnd, r.out);
  EXPECT_EQ(r.status, 0);
}

TEST_F(SilvaneJob, StartFailures)
{
  writeRaster(dir.file("job.ras"), {dotPage()});
  writeFile(dir.file("garbage.ppd"), "this is no PPD\n");
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> ppd;
    std::string error;
  };
  std::string raster = dir.file("job.ras");
  const Case cases[] = {
      {{"42", "user", "title", "1"}, "", "ERROR: Usage: silvane job-id user title copies options [file]"},
      {{"42", "user", "title", "1", "", raster, "x"}, "", "ERROR: Usage: silvane job-id user title copies options [file]"},
      {{"42", "user", "title", "1", "", dir.file("none.ras")}, "",
       "ERROR: Unable to open raster file \"" + dir.file("none.ras") + "\": No such file or directory"},
      {{"42", "user", "title", "1", "", raster}, std::nullopt, "ERROR: No PPD file"},
      {{"42", "user", "title", "1", "", raster}, dir.file("none.ppd"), dir.file("none.ppd")},
      {{"42", "user", "title", "1", "", raster}, dir.file("garbage.ppd"), dir.file("garbage.ppd")},
  };
  for (const Case& c : cases) {
    RunOptions o(c.args, environment());
    if (!c.ppd)
      o.env.erase("PPD");
    else if (!c.ppd->empty())
      o.env["PPD"] = *c.ppd;
    RunResult r = runProgram(SILVANE_PATH, o);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
  }
}

// A page that is not one bit per dot, or whose lines exceed the size limit, stops the job
// before anything of it is sent; the pages before it are complete.
TEST_F(SilvaneJob, PagesRefusedBeforeTheyStart)
{
  Page gray = dotPage();
  gray.header.cupsBitsPerColor = 8;
  gray.header.cupsBitsPerPixel = 8;
  gray.header.cupsBytesPerLine = 8;
  gray.data.assign(8, 0xFF);
  Page wide;  // one byte over the limit; no data is needed, the header alone is refused
  wide.header = makeHeader(static_cast<unsigned>(kMaxPageBytes * 8 + 8), 1);

  for (const Page& bad : {gray, wide}) {
    RunResult r = run({dotPage(), bad});
    EXPECT_BYTES(preamble() + kPageStart + kDot + kPageEnd, r.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err).back().rfind("ERROR: Page 2 ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("Ready to print"), std::string::npos);

    r = run({bad});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
}

// Data the printer never receives is a failed job, whether the failure shows at the end or in
// the middle of a long page.
TEST_F(SilvaneJob, UnwritableOutputFails)
{
  Page big = blankPage(832, 1218);
  for (std::size_t i = 0; i < big.data.size(); i++)
    big.data[i] = (i % 2) ? 0xAA : 0x55;
  for (const Page& page : {dotPage(), big}) {
    writeRaster(dir.file("job.ras"), {page});
    RunResult r = runFile(dir.file("job.ras"), "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err).back().rfind("ERROR: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("Ready to print"), std::string::npos);
  }
}

}  // namespace
