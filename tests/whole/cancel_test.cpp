// cancel_test.cpp: a job cancelled by CUPS (SIGTERM) stops at once and leaves only whole
// labels behind.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;

struct Cancelled {
  int status = -1;
  double seconds = 0;  // from SIGTERM to exit
  std::string out, err;
};

// Polls `done` until it holds; false if it still does not after `bound` (a filter that hangs).
bool waitFor(const std::function<bool()>& done, std::chrono::seconds bound = std::chrono::seconds(30))
{
  auto deadline = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Whether `pid` sleeps in the system call `call` on file descriptor `fd` (/proc/PID/syscall
// names the call a blocked process is in, and its arguments; "running" otherwise).
bool blockedIn(pid_t pid, long call, int fd)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  std::string first;
  if (!(in >> number >> first))
    return false;
  return number == call && std::stol(first, nullptr, 16) == fd;
}

// Whether `signal` is still waiting to be delivered to `pid` (not yet taken by its handler).
bool signalPending(pid_t pid, int signal)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const unsigned long long bit = 1ull << (signal - 1);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) {
      if (std::stoull(line.substr(7), nullptr, 16) & bit)
        return true;
    }
  }
  return false;
}

// Bytes written to a pipe and not yet read from it.
int unread(int fd)
{
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// Waits (bounded) for `pid` to end, SIGKILL if it does not; its status as a shell gives it.
int reap(pid_t pid)
{
  int wstatus = 0;
  if (!waitFor([&] { return waitpid(pid, &wstatus, WNOHANG) == pid; }, std::chrono::seconds(10))) {
    ADD_FAILURE() << "the filter did not end within 10 s of the cancel";
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
  }
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

// Starts `program` reading its raster from a pipe, feeds it the first `feed` bytes of
// `raster`, sends SIGTERM once the filter has taken them all and waits for the rest, and
// collects what it wrote.
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
  for (size_t done = 0; done < n;) {  // the pipe holds less than the feed: write as it reads
    ssize_t w = write(fds[1], bytes.data() + done, n - done);
    if (w <= 0)
      throw std::runtime_error("write");
    done += static_cast<size_t>(w);
  }
  // The filter has read every byte it was given and waits in read() for the rest.
  EXPECT_TRUE(waitFor([&] { return unread(fds[1]) == 0 && blockedIn(pid, SYS_read, 0); }))
      << "the filter never waited for more input";

  auto start = Clock::now();
  kill(pid, SIGTERM);
  Cancelled c;
  c.status = reap(pid);
  c.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(fds[1]);
  c.out = readFile(outPath);
  c.err = readFile(errPath);
  return c;
}

// Starts `program` on the raster file with its standard output a pipe that nobody reads (a
// printer that has stopped taking data), sends SIGTERM once the filter is blocked writing and
// waits until the filter has taken the signal, then reads everything it writes until it exits.
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
  // The pipe holds 64 KiB; the filter fills it with the first label and blocks in write().
  EXPECT_TRUE(waitFor([&] { return blockedIn(pid, SYS_write, 1); }))
      << "the filter never blocked writing";
  auto start = Clock::now();
  kill(pid, SIGTERM);
  EXPECT_TRUE(waitFor([&] { return !signalPending(pid, SIGTERM); }))
      << "the filter never took the signal";

  Cancelled c;
  char buffer[65536];
  while (Clock::now() - start < std::chrono::seconds(10)) {  // until the filter exits
    pollfd ready = {fds[0], POLLIN, 0};
    if (poll(&ready, 1, 100) == 0)
      continue;
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0)
      break;
    c.out.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  c.status = reap(pid);
  c.seconds = std::chrono::duration<double>(Clock::now() - start).count();
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
