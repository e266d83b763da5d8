// testsupport.h: raster files, PPD files and program runs for the tests.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cups/raster.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

// A temporary directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// One raster page: its header and cupsBytesPerLine x cupsHeight bytes of data.
struct Page {
  cups_page_header_t header;
  std::vector<unsigned char> data;
};

// A header for a 1-bit black page of width x height dots at dpi.
cups_page_header_t makeHeader(unsigned width, unsigned height, unsigned dpi = 203);

// A page drawn from an ASCII picture: '#' (or 'X') is a black dot, anything else white.  Every
// row must be as long as the first.
Page pageFromPicture(const std::vector<std::string>& rows, unsigned dpi = 203);

// A page of the given size whose rows come from `row(y, bytes)`.
Page blankPage(unsigned width, unsigned height, unsigned dpi = 203);

// Writes the pages as a CUPS raster stream with libcups' own writer.
void writeRaster(const std::string& path, const std::vector<Page>& pages);

// Cuts a file to its first `size` bytes.
void truncateFile(const std::string& path, long size);

// Writes a file with the given bytes.
void writeFile(const std::string& path, std::string_view bytes);
std::string readFile(const std::string& path);

// One PPD option: its keyword, its default choice, and its choices as "keyword" or
// "keyword/Display text".
struct PpdOption {
  std::string name;
  std::string defaultChoice;
  std::vector<std::string> choices;
};

// Writes a small PPD file that libcups reads, with the given options.
void writePpd(const std::string& path, const std::vector<PpdOption>& options);

// A directory holding a `cat` of its own: "cat /etc/issue" prints `issue` and
// "cat /proc/version" prints `version` (each exactly as given); an empty text stands for a
// missing file, which cat reports on standard error with exit status 1.
struct FakeHost {
  std::string issue;
  std::string version;
};
// Writes the fake `cat` into dir/bin and returns a PATH value that finds it first.
std::string installFakeHost(const TempDir& dir, const FakeHost& host);

// What a program run left behind.
struct RunResult {
  int status = -1;     // exit status, or 128 + signal
  std::string out;     // standard output, byte for byte
  std::string err;     // standard error, without its "DEBUG: " lines
  std::string debug;   // the "DEBUG: " lines
};

struct RunOptions {
  RunOptions(std::vector<std::string> args_, std::map<std::string, std::string> env_,
             std::string stdinFile_ = "", std::string stdoutFile_ = "")
      : args(std::move(args_)), env(std::move(env_)), stdinFile(std::move(stdinFile_)),
        stdoutFile(std::move(stdoutFile_))
  {
  }

  std::vector<std::string> args;               // argv[1...]
  std::map<std::string, std::string> env;      // the whole environment of the program
  std::string stdinFile;                       // file for standard input ("" = /dev/null)
  std::string stdoutFile;                      // file for standard output ("" = captured)
  bool closeStdout = false;                    // start with standard output closed
};

RunResult runProgram(const std::string& program, const RunOptions& options);

// The standard error lines of a run, without their line ends.
std::vector<std::string> lines(const std::string& text);

// A readable comparison of two byte strings: the first difference with some context, in hex.
std::string hexDiff(std::string_view expected, std::string_view actual);

// Builds a byte string from hex pairs ("FF 01 0d").
std::string hexBytes(std::string_view hex);

}  // namespace testsupport
