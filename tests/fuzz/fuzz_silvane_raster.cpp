// fuzz_silvane_raster.cpp: raster stream bytes and job options through silvane's page loop.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Input: the job's option string up to the first newline, then the raster stream.  What
// always holds: a job that printed anything, whether it ended well or not, ends with a closed
// label (image data end, then E), followed at most by the job-end position command.

#include "fuzz_raster.h"
#include "job.h"
#include "silvane.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const char kPpd[] =
    "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
    "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"FUZZ.PPD\"\n"
    "*Manufacturer: \"Fuzz\"\n*Product: \"(Fuzz)\"\n*ModelName: \"Fuzz\"\n"
    "*ShortNickName: \"Fuzz\"\n*NickName: \"Fuzz\"\n"
    "*OpenUI *Darkness: PickOne\n*DefaultDarkness: 11\n*Darkness 0: \"\"\n*Darkness 11: \"\"\n"
    "*Darkness 31: \"\"\n*Darkness 40: \"\"\n*CloseUI: *Darkness\n"
    "*OpenUI *PrintPosition: PickOne\n*DefaultPrintPosition: 17\n*PrintPosition 17: \"\"\n"
    "*PrintPosition 1: \"\"\n*PrintPosition 2147483647: \"\"\n*CloseUI: *PrintPosition\n"
    "*OpenUI *OutMode: PickOne\n*DefaultOutMode: 1\n*OutMode 1: \"\"\n*OutMode 4abc015: \"\"\n"
    "*OutMode 5: \"\"\n*OutMode 9: \"\"\n*CloseUI: *OutMode\n"
    "*OpenUI *OutPaperPosition: PickOne\n*DefaultOutPaperPosition: 1\n"
    "*OutPaperPosition 1/2.5mm: \"\"\n*OutPaperPosition 2/-1.5mm: \"\"\n"
    "*OutPaperPosition 3/x: \"\"\n*OutPaperPosition 4/1e300mm: \"\"\n"
    "*OutPaperPosition 5/12345678901234567890123456789mm: \"\"\n*CloseUI: *OutPaperPosition\n";

bool isJobEnd(const std::string& s)
{
  std::size_t i = 3;
  if (s.size() < 5 || s.compare(0, 3, "\002JP") != 0 || s.back() != '\r')
    return false;
  if (s[i] == '-')
    i++;
  for (; i + 1 < s.size(); i++)
    if (s[i] < '0' || s[i] > '9')
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  fuzzWritePpd(kPpd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size > 65536)
    return -1;
  FuzzJob job(data, size);
  // Lines of a real label take a few hundred bytes; 64 KiB keeps the line buffers (which are
  // cleared when they grow) from dominating each run.
  dpl::settings_ settings;
  if (!initializeSettings(job.options(), &settings))
    std::abort();
  dpl::Job encoder;
  encoder.pageByteLimit = 1 << 16;
  std::string out;
  static const FilterRun run = {"silvane", nullptr, false};
  printPages(job.raster(), settings, encoder, run, 1, stringSink(&out));

  if (!out.empty()) {
    // After the last label's end there is at most the job-end position: STX J P, a number,
    // CR.
    const std::string pageEnd("\xFF\x0F\rE\r", 5);
    std::size_t last = out.rfind(pageEnd);
    std::string rest = last == std::string::npos ? out : out.substr(last + pageEnd.size());
    if (last == std::string::npos && rest.compare(0, 3, "\002JP") != 0)
      std::abort();
    if (!rest.empty() && !isJobEnd(rest))
      std::abort();
  }
  return 0;
}
