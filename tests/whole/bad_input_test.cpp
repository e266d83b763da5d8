// bad_input_test.cpp: hostile and broken input through both filters.  Each row is one input
// and what the filter must do with it: one "ERROR: " line and a non-zero exit, or a normal
// job; standard output empty or holding complete labels only.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "testsupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

struct Filter {
  const char* name;
  const char* path;
  std::string labelEnd;  // the bytes that end every complete label
};

std::vector<Filter> filters()
{
  std::vector<Filter> f = {{"torvane", TORVANE_PATH, "^XA^ID000.GRF^FS^XZ"}};
#ifdef SILVANE_PATH
  f.push_back({"silvane", SILVANE_PATH, std::string("\xFF\x0F\rE\r", 5)});
#endif
  return f;
}

size_t count(const std::string& text, const std::string& word)
{
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
    n++;
  return n;
}

// What a row expects.
struct Expect {
  int status;
  std::string errorPrefix;  // the ERROR line's start; "" when the job succeeds
  int labels;               // complete labels on standard output (-1: no output at all)
};

// One hostile input: it prepares the job directory (raster file, PPD, environment) and says
// what the filter must do.
struct Row {
  const char* name;
  std::function<void(const TempDir&, RunOptions&)> prepare;
  Expect expect;
  std::optional<Expect> silvaneExpect = {};  // where the streaming filter differs
};

Page onePage()
{
  return pageFromPicture({"#..#..##", ".##.##..", "########"});
}

Page deepPage(unsigned bits)
{
  Page p = blankPage(16, 4);
  p.header.cupsBitsPerColor = bits <= 16 ? bits : 8;
  p.header.cupsBitsPerPixel = bits;
  p.header.cupsColorSpace = bits == 24 ? CUPS_CSPACE_RGB : CUPS_CSPACE_K;
  p.header.cupsBytesPerLine = (16 * bits + 7) / 8;
  p.data.assign(static_cast<size_t>(p.header.cupsBytesPerLine) * 4, 0x5A);
  return p;
}

Page headerOnly(unsigned width, unsigned height)
{
  Page p;
  p.header = makeHeader(width, height);
  return p;
}

void raster(const TempDir& dir, const std::vector<Page>& pages)
{
  writeRaster(dir.file("job.ras"), pages);
}

void ppdWith(const TempDir& dir, const std::vector<PpdOption>& options)
{
  writePpd(dir.file("job.ppd"), options);
}

std::vector<Row> rows()
{
  const Expect noPages = {1, "ERROR: No pages found!", -1};
  const Expect badPpd = {1, "ERROR: Unable to open PPD file", -1};
  const Expect oneLabel = {0, "", 1};
  auto notOneBit = [](int page, int labels) {
    return Expect{1, "ERROR: Page " + std::to_string(page) + " is not one bit per dot", labels};
  };
  auto tooLarge = [](int labels) { return Expect{1, "ERROR: Page 2 is too large", labels}; };

  return {
      {"PPD unset", [](const TempDir& d, RunOptions& o) { raster(d, {onePage()}); o.env.erase("PPD"); },
       {1, "ERROR: No PPD file", -1}},
      {"PPD missing", [](const TempDir& d, RunOptions& o) { raster(d, {onePage()}); o.env["PPD"] = d.file("none.ppd"); },
       badPpd},
      {"PPD is a directory", [](const TempDir& d, RunOptions& o) { raster(d, {onePage()}); o.env["PPD"] = d.path(); },
       badPpd},
      {"PPD is not a PPD", [](const TempDir& d, RunOptions&) { raster(d, {onePage()}); writeFile(d.file("job.ppd"), "%!PS-Adobe-3.0\n"); },
       badPpd},
      {"PPD cut inside its header", [](const TempDir& d, RunOptions&) { raster(d, {onePage()}); writeFile(d.file("job.ppd"), "*PPD-Ado"); },
       badPpd},
      {"choice keywords that are letters",
       [](const TempDir& d, RunOptions&) {
         raster(d, {onePage()});
         ppdWith(d, {{"Darkness", "High", {"High"}}, {"PrintPosition", "Top", {"Top"}}, {"PageType", "Gap", {"Gap"}}});
       },
       oneLabel},
      {"negative choice numbers",
       [](const TempDir& d, RunOptions&) {
         raster(d, {onePage()});
         ppdWith(d, {{"Darkness", "-5", {"-5"}}, {"OutMode", "-2", {"-2"}}, {"PrintSpeed", "-1", {"-1"}},
                     {"PrintPosition", "-40", {"-40"}}, {"OutPaperPosition", "-3/-3mm", {"-3/-3mm"}}});
       },
       oneLabel},
      {"choice numbers larger than an int",
       [](const TempDir& d, RunOptions&) {
         raster(d, {onePage()});
         ppdWith(d, {{"Darkness", "99999999999", {"99999999999"}},
                     {"PrintPosition", "99999999999", {"99999999999"}},
                     {"TearoffPosition", "-99999999999", {"-99999999999"}},
                     {"OutMode", "99999999999", {"99999999999"}},
                     {"OutPaperPosition", "1/1e308mm", {"1/1e308mm"}}});
       },
       oneLabel},
      {"2 bits per pixel", [](const TempDir& d, RunOptions&) { raster(d, {deepPage(2)}); }, notOneBit(1, -1)},
      {"8 bits per pixel", [](const TempDir& d, RunOptions&) { raster(d, {deepPage(8)}); }, notOneBit(1, -1)},
      {"16 bits per pixel", [](const TempDir& d, RunOptions&) { raster(d, {deepPage(16)}); }, notOneBit(1, -1)},
      {"24 bits per pixel after a good page", [](const TempDir& d, RunOptions&) { raster(d, {onePage(), deepPage(24)}); },
       notOneBit(2, 1)},
      {"width 0", [](const TempDir& d, RunOptions&) { raster(d, {headerOnly(0, 10)}); }, noPages},
      {"height 0", [](const TempDir& d, RunOptions&) { raster(d, {headerOnly(8, 0)}); }, noPages},
      {"width and height 1",
       [](const TempDir& d, RunOptions&) { Page p = blankPage(1, 1); p.data[0] = 0x80; raster(d, {p}); },
       oneLabel},
      {"width near 2^32", [](const TempDir& d, RunOptions&) { raster(d, {onePage(), headerOnly(4294967000u, 1)}); },
       tooLarge(1)},
      // The page bitmap would take 17 GB; the DPL label-size command cannot say its height.
      {"height near 2^32", [](const TempDir& d, RunOptions&) { raster(d, {onePage(), headerOnly(8, 4294967295u)}); },
       tooLarge(1)},
      {"label of 10,000 lines", [](const TempDir& d, RunOptions&) { raster(d, {onePage(), blankPage(8, 10000)}); },
       Expect{0, "", 2}, tooLarge(1)},
      // 1 is white in W: printed as it stands the label would come out as a negative.
      {"1 bit per dot in colour space W",
       [](const TempDir& d, RunOptions&) {
         Page p = onePage();
         p.header.cupsColorSpace = CUPS_CSPACE_W;
         raster(d, {onePage(), p});
       },
       {1, "ERROR: Page 2 uses colour space W", 1}},
      {"byte count that would overflow 32 and 64 bits",
       [](const TempDir& d, RunOptions&) { raster(d, {onePage(), headerOnly(4294967000u, 4294967000u)}); },
       tooLarge(1)},
      {"stream cut inside a header",
       [](const TempDir& d, RunOptions&) {
         raster(d, {onePage(), onePage()});
         truncateFile(d.file("job.ras"), static_cast<long>(readFile(d.file("job.ras")).size()) - 1000);
       },
       oneLabel},
      {"stream cut inside the first header",
       [](const TempDir& d, RunOptions&) { raster(d, {onePage()}); truncateFile(d.file("job.ras"), 100); },
       noPages},
      {"stream cut inside a page",
       [](const TempDir& d, RunOptions&) {
         raster(d, {blankPage(64, 200)});
         truncateFile(d.file("job.ras"), static_cast<long>(readFile(d.file("job.ras")).size()) - 3);
       },
       {1, "ERROR: Page 1 ended after 199 of 200 lines", 0},
       Expect{1, "ERROR: Page 1 ended after 199 of 200 lines", 1}},
      {"random bytes",
       [](const TempDir& d, RunOptions&) {
         std::mt19937 rng(7);
         std::string bytes(5000, '\0');
         for (char& c : bytes)
           c = static_cast<char>(rng());
         writeFile(d.file("job.ras"), bytes);
       },
       noPages},
      {"a PDF where raster is expected",
       [](const TempDir& d, RunOptions&) {
         writeFile(d.file("job.ras"), "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n%%EOF\n");
       },
       noPages},
      {"raster file that cannot be opened",
       [](const TempDir& d, RunOptions& o) { o.args.back() = d.file("missing/job.ras"); },
       {1, "ERROR: Unable to open raster file \"", -1}},
      {"raster file that is a directory",
       [](const TempDir& d, RunOptions& o) { o.args.back() = d.path(); },
       noPages},
      {"five arguments", [](const TempDir&, RunOptions& o) { o.args.resize(4); },
       {1, "ERROR: Usage: ", -1}},
      {"eight arguments", [](const TempDir&, RunOptions& o) { o.args.push_back("extra"); },
       {1, "ERROR: Usage: ", -1}},
      {"standard output on a full disk",
       [](const TempDir& d, RunOptions& o) { raster(d, {onePage()}); o.stdoutFile = "/dev/full"; },
       {1, "ERROR: Unable to write print data", -1}},
      {"standard output closed",
       [](const TempDir& d, RunOptions& o) { raster(d, {onePage()}); o.closeStdout = true; },
       {1, "ERROR: Unable to write print data", -1}},
  };
}

TEST(BadInput, EveryRowForEveryFilter)
{
  for (const Filter& filter : filters()) {
    for (const Row& row : rows()) {
      TempDir dir;
      ppdWith(dir, {{"Darkness", "10", {"10"}}});
      RunOptions options({"1", "user", "title", "1", "", dir.file("job.ras")},
                         {{"PPD", dir.file("job.ppd")}, {"PATH", installFakeHost(dir, {"", ""})}});
      row.prepare(dir, options);
      RunResult r = runProgram(filter.path, options);
      const Expect& expect =
          row.silvaneExpect && std::string(filter.name) == "silvane" ? *row.silvaneExpect : row.expect;
      std::string what = std::string(filter.name) + ": " + row.name + "\nstderr: " + r.err;

      EXPECT_EQ(expect.status, r.status) << what;
      // Sanitizer reports and crashes would show here.
      EXPECT_LT(r.status, 2) << what;
      std::vector<std::string> errors;
      for (const std::string& line : lines(r.err))
        if (line.rfind("ERROR: ", 0) == 0)
          errors.push_back(line);
      if (expect.errorPrefix.empty()) {
        EXPECT_LE(errors.size(), expect.status == 0 ? 0u : 1u) << what;
      } else {
        ASSERT_EQ(1u, errors.size()) << what;
        EXPECT_EQ(0u, errors[0].find(expect.errorPrefix)) << what;
      }
      if (r.status != 0) {
        EXPECT_EQ(std::string::npos, r.err.find("Ready to print")) << what;
      }

      if (expect.labels < 0 && options.stdoutFile.empty() && !options.closeStdout) {
        EXPECT_EQ("", r.out) << what;
      } else if (expect.labels == 0) {
        EXPECT_EQ(std::string::npos, r.out.find("~DG")) << what;
        EXPECT_EQ(std::string::npos, r.out.find(filter.labelEnd)) << what;
      } else if (expect.labels > 0) {
        EXPECT_EQ(static_cast<size_t>(expect.labels), count(r.out, filter.labelEnd)) << what;
        // Only the job-end position command (DPL output modes above 3) may follow the last label.
        std::string rest = r.out.substr(r.out.rfind(filter.labelEnd) + filter.labelEnd.size());
        EXPECT_TRUE(rest.empty() || (rest.rfind("\002JP", 0) == 0 && rest.back() == '\r'))
            << what << "\nafter the last label: " << hexDiff("", rest);
      }
    }
  }
}

}  // namespace
