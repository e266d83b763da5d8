// testsupport.cpp: raster files, PPD files and program runs for the tests.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "testsupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir()
{
  char name[] = "/tmp/labeltest-XXXXXX";
  if (mkdtemp(name) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  path_ = name;
  chmod(path_.c_str(), 0755);
}

TempDir::~TempDir()
{
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

cups_page_header_t makeHeader(unsigned width, unsigned height, unsigned dpi)
{
  cups_page_header_t h = {};
  std::strcpy(h.MediaClass, "PwgRaster");
  h.HWResolution[0] = dpi;
  h.HWResolution[1] = dpi;
  h.PageSize[0] = width * 72 / dpi;
  h.PageSize[1] = height * 72 / dpi;
  h.NumCopies = 1;
  h.cupsWidth = width;
  h.cupsHeight = height;
  h.cupsBitsPerColor = 1;
  h.cupsBitsPerPixel = 1;
  h.cupsBytesPerLine = (width + 7) / 8;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = CUPS_CSPACE_K;
  return h;
}

Page blankPage(unsigned width, unsigned height, unsigned dpi)
{
  Page p;
  p.header = makeHeader(width, height, dpi);
  p.data.assign(static_cast<size_t>(p.header.cupsBytesPerLine) * height, 0);
  return p;
}

Page pageFromPicture(const std::vector<std::string>& rows, unsigned dpi)
{
  unsigned width = rows.empty() ? 0 : static_cast<unsigned>(rows[0].size());
  Page p = blankPage(width, static_cast<unsigned>(rows.size()), dpi);
  unsigned bpl = p.header.cupsBytesPerLine;
  for (size_t y = 0; y < rows.size(); y++)
    for (size_t x = 0; x < rows[y].size() && x < width; x++)
      if (rows[y][x] == '#' || rows[y][x] == 'X')
        p.data[y * bpl + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
  return p;
}

void writeRaster(const std::string& path, const std::vector<Page>& pages)
{
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0)
    throw std::runtime_error("cannot create " + path);
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
  for (const Page& page : pages) {
    cups_page_header_t h = page.header;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!cupsRasterWriteHeader(ras, &h))
      throw std::runtime_error("cupsRasterWriteHeader failed");
#pragma GCC diagnostic pop
    if (!page.data.empty())
      cupsRasterWritePixels(ras, const_cast<unsigned char*>(page.data.data()),
                            static_cast<unsigned>(page.data.size()));
  }
  cupsRasterClose(ras);
  close(fd);
}

void truncateFile(const std::string& path, long size)
{
  if (truncate(path.c_str(), size) != 0)
    throw std::runtime_error("truncate failed");
}

void writeFile(const std::string& path, std::string_view bytes)
{
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const std::string& path)
{
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void writePpd(const std::string& path, const std::vector<PpdOption>& options)
{
  std::ostringstream p;
  p << "*PPD-Adobe: \"4.3\"\n"
       "*FormatVersion: \"4.3\"\n"
       "*FileVersion: \"1.0\"\n"
       "*LanguageVersion: English\n"
       "*LanguageEncoding: ISOLatin1\n"
       "*PCFileName: \"TEST.PPD\"\n"
       "*Manufacturer: \"Test\"\n"
       "*Product: \"(Test Label Printer)\"\n"
       "*ModelName: \"Test Label Printer\"\n"
       "*ShortNickName: \"Test Label Printer\"\n"
       "*NickName: \"Test Label Printer\"\n"
       "*PSVersion: \"(3010.000) 0\"\n"
       "*LanguageLevel: \"3\"\n"
       "*ColorDevice: False\n"
       "*DefaultColorSpace: Gray\n"
       "*FileSystem: False\n"
       "*Throughput: \"1\"\n"
       "*TTRasterizer: Type42\n"
       "*OpenUI *PageSize/Media Size: PickOne\n"
       "*DefaultPageSize: w288h432\n"
       "*PageSize w288h432/4x6in: \"<</PageSize[288 432]>>setpagedevice\"\n"
       "*CloseUI: *PageSize\n";
  for (const PpdOption& o : options) {
    p << "*OpenUI *" << o.name << "/" << o.name << ": PickOne\n";
    p << "*Default" << o.name << ": " << o.defaultChoice << "\n";
    for (const std::string& c : o.choices)
      p << "*" << o.name << " " << c << ": \"\"\n";
    p << "*CloseUI: *" << o.name << "\n";
  }
  writeFile(path, p.str());
}

std::string installFakeHost(const TempDir& dir, const FakeHost& host)
{
  std::string bin = dir.file("bin");
  std::filesystem::create_directories(bin);
  auto store = [&](const std::string& name, const std::string& text) {
    if (!text.empty())
      writeFile(dir.file(name), text);
  };
  store("issue", host.issue);
  store("version", host.version);
  std::string script =
      "#!/bin/sh\n"
      "case \"$1\" in\n"
      "  /etc/issue) f='" + dir.file("issue") + "' ;;\n"
      "  /proc/version) f='" + dir.file("version") + "' ;;\n"
      "  *) f=\"$1\" ;;\n"
      "esac\n"
      "if [ -f \"$f\" ]; then exec /bin/cat \"$f\"; fi\n"
      "echo \"cat: $1: No such file or directory\" >&2\n"
      "exit 1\n";
  writeFile(bin + "/cat", script);
  chmod((bin + "/cat").c_str(), 0755);
  return bin + ":/usr/bin:/bin";
}

RunResult runProgram(const std::string& program, const RunOptions& options)
{
  TempDir io;
  std::string outPath = options.stdoutFile.empty() ? io.file("out") : options.stdoutFile;
  std::string errPath = io.file("err");

  std::vector<std::string> argStore;
  argStore.push_back(program);
  argStore.insert(argStore.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStore;
  for (const auto& [k, v] : options.env)
    envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& e : envStore)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open(options.stdinFile.empty() ? "/dev/null" : options.stdinFile.c_str(), O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0)
      _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (options.closeStdout)
      close(1);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }

  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  RunResult r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  if (options.stdoutFile.empty())
    r.out = readFile(outPath);
  // DEBUG lines are for cupsd's debug log: kept apart, so that tests pin the status lines.
  std::istringstream all(readFile(errPath));
  for (std::string line; std::getline(all, line);)
    (line.rfind("DEBUG: ", 0) == 0 ? r.debug : r.err) += line + "\n";
  return r;
}

std::vector<std::string> lines(const std::string& text)
{
  std::vector<std::string> result;
  std::istringstream s(text);
  std::string line;
  while (std::getline(s, line))
    result.push_back(line);
  return result;
}

static std::string hexOf(std::string_view bytes, size_t from, size_t count)
{
  std::string s;
  char b[4];
  for (size_t i = from; i < bytes.size() && i < from + count; i++) {
    std::snprintf(b, sizeof b, "%02X ", static_cast<unsigned char>(bytes[i]));
    s += b;
  }
  return s;
}

std::string hexDiff(std::string_view expected, std::string_view actual)
{
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
    i++;
  if (i == expected.size() && i == actual.size())
    return "identical";
  size_t from = i > 16 ? i - 16 : 0;
  std::ostringstream s;
  s << "first difference at byte " << i << " (expected " << expected.size() << " bytes, got "
    << actual.size() << ")\n  expected from " << from << ": " << hexOf(expected, from, 48)
    << "\n  actual   from " << from << ": " << hexOf(actual, from, 48);
  return s.str();
}

std::string hexBytes(std::string_view hex)
{
  std::string out;
  int nibbles = 0;
  unsigned value = 0;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    value = value * 16 + static_cast<unsigned>(v);
    if (++nibbles == 2) {
      out.push_back(static_cast<char>(value));
      nibbles = 0;
      value = 0;
    }
  }
  return out;
}

}  // namespace testsupport
