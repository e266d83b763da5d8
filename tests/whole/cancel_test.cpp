// cancel_test.cpp: a job cancelled by CUPS (SIGTERM) stops at once and leaves only whole
// labels behind.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

struct Cancelled {
  int status = -1;
  double seconds = 0;  // from SIGTERM to exit
  std::string out, err;
};

// Starts `program` reading its raster from a pipe, feeds it the first `feed` bytes of
// `raster`, sends SIGTERM while the filter waits for the rest, and collects what it wrote.
Cancelled cancelMidJob(const std::string& program, const std::string& ppd,
                       const std::string& raster, size_t feed)
{
  TempDir io;
  std::string bytes = readFile(raster);
  int fds[2];
  if (pipe(fds) != 0)
    throw std::runtime_error("pipe");

  std::string outPath = io.file("out"), errPath = io.file("err");
  std::string ppdEnv = "PPD=" + ppd;
  std::string pathEnv = "PATH=" + installFakeHost(io, {"", ""});
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    const char* argv[] = {program.c_str(), "1", "u", "t", "1", "", nullptr};
    char* envp[] = {ppdEnv.data(), pathEnv.data(), nullptr};
    execve(program.c_str(), const_cast<char**>(argv), envp);
    _exit(127);
  }
  close(fds[0]);
  size_t n = std::min(feed, bytes.size());
  if (write(fds[1], bytes.data(), n) != static_cast<ssize_t>(n))
    throw std::runtime_error("write");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  auto start = std::chrono::steady_clock::now();
  kill(pid, SIGTERM);
  int wstatus = 0;
  Cancelled c;
  for (int i = 0; i < 500 && waitpid(pid, &wstatus, WNOHANG) == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (waitpid(pid, &wstatus, WNOHANG) == 0) {  // still running: a hang
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
  }
  close(fds[1]);
  c.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  c.out = readFile(outPath);
  c.err = readFile(errPath);
  return c;
}

// Starts `program` on the raster file with its standard output a pipe that nobody reads (a
// printer that has stopped taking data), sends SIGTERM once the filter is blocked writing,
// then reads everything it writes until it exits.
Cancelled cancelWhileOutputStalls(const std::string& program, const std::string& ppd,
                                  const std::string& raster)
{
  TempDir io;
  int fds[2];
  if (pipe(fds) != 0)
    throw std::runtime_error("pipe");
  std::string errPath = io.file("err");
  std::string ppdEnv = "PPD=" + ppd;
  std::string pathEnv = "PATH=" + installFakeHost(io, {"", ""});
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    const char* argv[] = {program.c_str(), "1", "u", "t", "1", "", raster.c_str(), nullptr};
    char* envp[] = {ppdEnv.data(), pathEnv.data(), nullptr};
    execve(program.c_str(), const_cast<char**>(argv), envp);
    _exit(127);
  }
  close(fds[1]);
  // The pipe holds 64 KiB; the filter fills it and blocks in write().
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto start = std::chrono::steady_clock::now();
  kill(pid, SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  Cancelled c;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0)
      break;
    c.out.append(buffer, static_cast<size_t>(n));
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5))
      break;
  }
  close(fds[0]);
  int wstatus = 0;
  for (int i = 0; i < 500 && waitpid(pid, &wstatus, WNOHANG) == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (waitpid(pid, &wstatus, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
  }
  c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  c.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  c.err = readFile(errPath);
  return c;
}

size_t count(const std::string& text, const std::string& word)
{
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
    n++;
  return n;
}

// Three pages of 400 rows; the feed stops inside the third.
std::vector<Page> threePages()
{
  std::vector<Page> pages;
  for (int i = 0; i < 3; i++) {
    Page p = blankPage(203, 400);
    for (size_t j = 0; j < p.data.size(); j++)
      p.data[j] = static_cast<unsigned char>((j * 37 + static_cast<size_t>(i)) % 251);
    pages.push_back(p);
  }
  return pages;
}

TEST(Cancel, TorvaneStopsWithWholeDownloadsOnly)
{
  TempDir dir;
  std::string ppd = dir.file("zpl.ppd"), raster = dir.file("job.ras");
  writePpd(ppd, {{"Inverse", "0", {"0", "1"}}});
  writeRaster(raster, threePages());
  size_t size = readFile(raster).size();

  Cancelled c = cancelMidJob(TORVANE_PATH, ppd, raster, size * 5 / 6);
  EXPECT_LT(c.seconds, 2.0);
  EXPECT_EQ(1, c.status);
  EXPECT_NE(std::string::npos, c.err.find("INFO: Job canceled after 2 complete pages."))
      << c.err;
  EXPECT_EQ(std::string::npos, c.err.find("Ready to print"));
  // Every download that was started is followed by the label that prints and deletes it.
  EXPECT_EQ(2u, count(c.out, "~DG000.GRF,"));
  EXPECT_EQ(2u, count(c.out, "^XA^ID000.GRF^FS^XZ"));
  EXPECT_EQ(c.out.size(), c.out.rfind("^XA^ID000.GRF^FS^XZ") + 19);
}

// Three noisy 4x6 labels: each one's data is far larger than the pipe and the filter's buffer.
std::vector<Page> threeNoisyLabels()
{
  std::vector<Page> pages;
  for (int i = 0; i < 3; i++) {
    Page p = blankPage(812, 1218);
    unsigned x = 12345u + static_cast<unsigned>(i);
    for (unsigned char& b : p.data) {
      x = x * 1103515245u + 12345u;
      b = static_cast<unsigned char>(x >> 16);
    }
    pages.push_back(p);
  }
  return pages;
}

// A cancel that comes while the printer takes no data interrupts the blocked write: the write
// is retried, so the download in flight goes out whole with its label, and nothing after it.
TEST(Cancel, TorvaneFinishesTheDownloadInFlightWhenTheOutputStalls)
{
  TempDir dir;
  std::string ppd = dir.file("zpl.ppd"), raster = dir.file("job.ras");
  writePpd(ppd, {{"Inverse", "0", {"0", "1"}}});
  writeRaster(raster, threeNoisyLabels());

  Cancelled c = cancelWhileOutputStalls(TORVANE_PATH, ppd, raster);
  EXPECT_EQ(1, c.status) << c.err;
  EXPECT_NE(std::string::npos, c.err.find("INFO: Job canceled after 1 complete page.")) << c.err;
  EXPECT_EQ(std::string::npos, c.err.find("ERROR:")) << c.err;
  EXPECT_EQ(1u, count(c.out, "~DG000.GRF,"));
  EXPECT_EQ(1u, count(c.out, "^XA^ID000.GRF^FS^XZ"));
  ASSERT_GE(c.out.size(), 19u);
  EXPECT_EQ(c.out.size(), c.out.rfind("^XA^ID000.GRF^FS^XZ") + 19);
}

#ifdef SILVANE_PATH
TEST(Cancel, SilvaneClosesTheLabelWhenTheOutputStalls)
{
  TempDir dir;
  std::string ppd = dir.file("dpl.ppd"), raster = dir.file("job.ras");
  writePpd(ppd, {{"Darkness", "10", {"10"}}});
  writeRaster(raster, threeNoisyLabels());

  Cancelled c = cancelWhileOutputStalls(SILVANE_PATH, ppd, raster);
  EXPECT_EQ(1, c.status) << c.err;
  EXPECT_NE(std::string::npos, c.err.find("INFO: Job canceled after 0 complete pages.")) << c.err;
  EXPECT_EQ(std::string::npos, c.err.find("ERROR:")) << c.err;
  // The label that was going out is closed right after the last whole line.
  std::string pageEnd = hexBytes("FF 0F 0D 45 0D");
  EXPECT_EQ(1u, count(c.out, "\002L\r"));
  EXPECT_EQ(1u, count(c.out, pageEnd));
  ASSERT_GE(c.out.size(), pageEnd.size());
  EXPECT_EQ(pageEnd, c.out.substr(c.out.size() - pageEnd.size()));
}

TEST(Cancel, SilvaneClosesTheLabelInProgress)
{
  TempDir dir;
  std::string ppd = dir.file("dpl.ppd"), raster = dir.file("job.ras");
  writePpd(ppd, {{"Darkness", "10", {"10"}}});
  writeRaster(raster, threePages());
  size_t size = readFile(raster).size();

  Cancelled c = cancelMidJob(SILVANE_PATH, ppd, raster, size * 5 / 6);
  EXPECT_LT(c.seconds, 2.0);
  EXPECT_NE(0, c.status);
  EXPECT_EQ(std::string::npos, c.err.find("Ready to print"));
  // Three labels were started and each one is ended: image data end, then E to print.
  std::string pageEnd = hexBytes("FF 0F 0D 45 0D");
  EXPECT_EQ(3u, count(c.out, "\002L\r"));
  EXPECT_EQ(3u, count(c.out, pageEnd));
}
#endif

}  // namespace
