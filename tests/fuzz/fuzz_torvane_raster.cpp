// fuzz_torvane_raster.cpp: raster stream bytes and job options through torvane's page loop.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Input: the job's option string up to the first newline, then the raster stream.  What
// always holds: every graphic download that is written is followed by the label that prints
// and deletes it, and (read back when small) carries exactly as many bytes as its header
// announces.

#include "DataComDecompress.h"
#include "fuzz_raster.h"
#include "job.h"
#include "torvane.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kPpd[] =
    "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
    "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"FUZZ.PPD\"\n"
    "*Manufacturer: \"Fuzz\"\n*Product: \"(Fuzz)\"\n*ModelName: \"Fuzz\"\n"
    "*ShortNickName: \"Fuzz\"\n*NickName: \"Fuzz\"\n"
    "*OpenUI *Darkness: PickOne\n*DefaultDarkness: 15\n*Darkness 0: \"\"\n*Darkness 15: \"\"\n"
    "*Darkness 30: \"\"\n*Darkness 99: \"\"\n*CloseUI: *Darkness\n"
    "*OpenUI *Inverse: PickOne\n*DefaultInverse: 0\n*Inverse 0: \"\"\n*Inverse 1: \"\"\n"
    "*Inverse 2: \"\"\n*CloseUI: *Inverse\n"
    "*OpenUI *PrintPosition: PickOne\n*DefaultPrintPosition: 20\n*PrintPosition 20: \"\"\n"
    "*PrintPosition -2147483648: \"\"\n*PrintPosition 2147483647: \"\"\n*CloseUI: *PrintPosition\n"
    "*OpenUI *OutMode: PickOne\n*DefaultOutMode: 0\n*OutMode 0: \"\"\n*OutMode 3: \"\"\n"
    "*OutMode 9: \"\"\n*CloseUI: *OutMode\n"
    "*OpenUI *PrintSpeed: PickOne\n*DefaultPrintSpeed: 3\n*PrintSpeed 3: \"\"\n"
    "*PrintSpeed 12: \"\"\n*CloseUI: *PrintSpeed\n";

std::string download(const std::string& out, std::size_t at, std::uint64_t* total,
                     std::uint64_t* rowBytes)
{
  unsigned long long t = 0, w = 0;
  int used = 0;
  if (std::sscanf(out.c_str() + at, "~DG000.GRF,%llu,%llu,%n", &t, &w, &used) != 2)
    std::abort();
  *total = t;
  *rowBytes = w;
  std::size_t start = at + static_cast<std::size_t>(used);
  std::size_t end = out.find("^XA", start);
  if (end == std::string::npos)
    std::abort();
  return out.substr(start, end - start);
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

  zpl::settings_ settings;
  if (!initializeSettings(job.options(), &settings))
    std::abort();
  zpl::Job encoder;
  // A 4x6 inch label at 203 dpi takes 127 KiB; larger bitmaps only make each run slower.
  encoder.pageByteLimit = 1 << 18;
  std::string out;
  static const FilterRun run = {"torvane", nullptr, false};
  printPages(job.raster(), settings, encoder, run, 1, stringSink(&out));

  std::size_t downloads = 0;
  for (std::size_t at = out.find("~DG000.GRF,"); at != std::string::npos;
       at = out.find("~DG000.GRF,", at + 1)) {
    std::uint64_t total = 0, rowBytes = 0;
    std::string text = download(out, at, &total, &rowBytes);
    downloads++;
    // Reading back is the slow part of a run (the GRF round trip has its own target), so
    // only the smaller downloads are read whole.
    if (total > 32768)
      continue;
    std::vector<unsigned char> bitmap(total);
    std::uint64_t count = total;
    if (GRFDataDecompress(text.data(), text.size(), rowBytes, bitmap.data(), &count) != 0 ||
        count != total)
      std::abort();
  }
  std::size_t deletes = 0;
  for (std::size_t at = out.find("^ID000.GRF"); at != std::string::npos;
       at = out.find("^ID000.GRF", at + 1))
    deletes++;
  if (downloads != deletes)
    std::abort();
  return 0;
}
