// appserver.h: label-printer-app as a server in a test: on 127.0.0.1 and a free port, with
// its state, spool, log and socket in a temporary directory, started and stopped by the
// test with every wait bounded.  Each test program that includes this defines APP_PATH,
// TORVANE_PATH, SILVANE_PATH, IPPTOOL_PATH and TEST_SOURCE_DIR.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "testsupport.h"

#include <cups/raster.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace apptest {

using namespace testsupport;
using namespace std::chrono_literals;


inline int freePort()
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// A connection to 127.0.0.1:port whose reads give up after `seconds`; -1 when refused.
inline int connectLoopback(int port, long seconds)
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval timeout = {seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool canConnect(int port)
{
  int fd = connectLoopback(port, 1);
  if (fd >= 0)
    close(fd);
  return fd >= 0;
}

// The reply to an HTTP GET of an HTML page (each read bounded by a timeout).
inline std::string httpGet(int port, const std::string& path)
{
  std::string reply;
  int fd = connectLoopback(port, 10);
  if (fd >= 0) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      ssize_t n;
      // The server may keep the connection open: the page ends with its closing tag.
      while (reply.find("</html>") == std::string::npos && (n = read(fd, buffer, sizeof buffer)) > 0)
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
  }
  return reply;
}

// A 4 x 6 in page of 1-bit black (PWG black_1) with bars, a frame and a diagonal, written
// as PWG raster; the rows are returned for building the filter's input.
inline void writePwgLabel(const std::string& path, unsigned dpi)
{
  cups_page_header2_t header;
  pwg_media_t* media = pwgMediaForPWG("oe_4x6-label_4x6in");
  ASSERT_TRUE(cupsRasterInitPWGHeader(&header, media, "black_1", static_cast<int>(dpi),
                                      static_cast<int>(dpi), "one-sided", nullptr));
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  ASSERT_NE(nullptr, ras);
  ASSERT_TRUE(cupsRasterWriteHeader2(ras, &header));
  std::vector<unsigned char> row(header.cupsBytesPerLine);
  for (unsigned y = 0; y < header.cupsHeight; y++) {
    std::fill(row.begin(), row.end(), 0);
    for (unsigned x = 0; x < header.cupsWidth; x++) {
      bool frame = x < 8 || y < 8 || x + 8 >= header.cupsWidth || y + 8 >= header.cupsHeight;
      bool bars = y > dpi && y < 3 * dpi && (x / 7) % 3 == 0;
      bool diagonal = x == y / 2;
      if (frame || bars || diagonal)
        row[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
    }
    cupsRasterWritePixels(ras, row.data(), header.cupsBytesPerLine);
  }
  cupsRasterClose(ras);
  close(fd);
}

// A PPD whose chosen choices are the application's defaults for the language.
inline std::vector<PpdOption> zplDefaults()
{
  return {{"MediaType", "0", {"0", "1", "2"}},        {"PageType", "2", {"0", "1", "2"}},
          {"Darkness", "15", {"0", "15", "30"}},      {"PrintSpeed", "0", {"0", "3"}},
          {"PrintPosition", "20", {"19", "20", "21"}}, {"TearoffPosition", "20", {"20"}},
          {"OutMode", "0", {"0", "1", "2", "3"}},     {"Pause", "0", {"0", "2"}},
          {"ImageControl", "0", {"0", "1"}},          {"PrintMirror", "0", {"0", "1"}},
          {"Inverse", "0", {"0", "1"}}};
}

inline std::vector<PpdOption> dplDefaults()
{
  return {{"PrintType", "0", {"0", "1", "2"}},   {"PageType", "2", {"0", "1", "2", "3"}},
          {"OutMode", "0", {"0", "1", "2", "3"}}, {"ImageControl", "0", {"0", "1"}},
          {"Darkness", "0", {"0", "11"}},         {"PrintPosition", "17", {"17"}},
          {"OutPaperPosition", "0", {"0"}}};
}

struct Printer {
  const char* name;
  const char* driver;
  bool zpl;
  unsigned dpi;
};

constexpr Printer kPrinters[] = {{"z203", "zpl_203", true, 203},
                                 {"z300", "zpl_300", true, 300},
                                 {"d203", "dpl_203", false, 203},
                                 {"d300", "dpl_300", false, 300}};

class AppServer : public ::testing::Test {
 protected:
  void SetUp() override
  {
    port = freePort();
    env = {{"HOME", dir.path()},
           {"TMPDIR", dir.path()},
           // PAPPL puts its client socket here, so that tests never meet a real server's.
           {"SNAP_COMMON", dir.path()},
           {"PATH", "/usr/bin:/bin"},
           {"ASAN_OPTIONS", "detect_leaks=0"}};
    for (const Printer& p : kPrinters)
      std::filesystem::create_directories(dir.file(p.name));
  }

  void TearDown() override { stop(); }

  // Starts the server; `extra` adds server arguments (more `-o name=value`).
  void start(const std::vector<std::string>& extra = {})
  {
    std::vector<std::string> args = {APP_PATH,
                                     "server",
                                     "-o", "server-port=" + std::to_string(port),
                                     "-o", "listen-hostname=127.0.0.1",
                                     "-o", "log-file=" + dir.file("log"),
                                     "-o", "log-level=info",
                                     "-o", "spool-directory=" + dir.file("spool"),
                                     "-o", "state-file=" + dir.file("state")};
    args.insert(args.end(), extra.begin(), extra.end());
    server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
      std::vector<char*> argv;
      for (std::string& a : args)
        argv.push_back(a.data());
      argv.push_back(nullptr);
      std::vector<std::string> envText;
      for (const auto& [k, v] : env)
        envText.push_back(k + "=" + v);
      std::vector<char*> envp;
      for (std::string& e : envText)
        envp.push_back(e.data());
      envp.push_back(nullptr);
      int null = ::open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!canConnect(port) || !std::filesystem::exists(dir.file("label-printer-app.sock"))) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the server did not start";
      std::this_thread::sleep_for(50ms);
    }
  }

  // Stops the server with SIGTERM and waits (bounded) for it to exit.
  void stop()
  {
    if (server <= 0)
      return;
    kill(server, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + 15s;
    int status = 0;
    while (waitpid(server, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(server, SIGKILL);
        waitpid(server, &status, 0);
        ADD_FAILURE() << "the server did not stop on SIGTERM";
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    server = -1;
  }

  RunResult app(std::vector<std::string> args)
  {
    return runProgram(APP_PATH, {std::move(args), env});
  }

  void addPrinters()
  {
    for (const Printer& p : kPrinters) {
      std::string uri = "file://" + dir.file(p.name) + (p.zpl ? "?ext=zpl" : "?ext=dpl");
      RunResult r = app({"add", "-d", p.name, "-m", p.driver, "-v", uri});
      ASSERT_EQ(0, r.status) << r.err;
    }
  }

  std::string uri(const Printer& p) const
  {
    return "ipp://127.0.0.1:" + std::to_string(port) + "/ipp/print/" + p.name;
  }

  // The bytes the printer's file device got for job `name`, once its job has ended;
  // `jobState` is the last word `jobs` shows for it (completed, aborted...).
  std::string waitForJob(const Printer& p, const std::string& name, std::string& jobState)
  {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
      RunResult r = app({"jobs", "-d", p.name});
      for (const std::string& line : lines(r.out)) {
        bool ours = line.size() > name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0;
        if (ours && (line.find("completed") != std::string::npos ||
                     line.find("aborted") != std::string::npos ||
                     line.find("canceled") != std::string::npos)) {
          jobState = line.find("completed") != std::string::npos ? "completed" : "failed";
          std::string file = dir.file(p.name) + "/" + name + (p.zpl ? ".zpl" : ".dpl");
          return std::filesystem::exists(file) ? readFile(file) : std::string();
        }
      }
      if (std::chrono::steady_clock::now() > deadline) {
        jobState = "timeout";
        return {};
      }
      std::this_thread::sleep_for(100ms);
    }
  }

  std::string submit(const Printer& p, const std::string& file, const std::string& name,
                     std::string& state)
  {
    RunResult r = app({"submit", "-d", p.name, "-t", name, file});
    EXPECT_EQ(0, r.status) << r.err;
    return waitForJob(p, name, state);
  }

  std::string ipptool(const Printer& p, const std::string& file, const std::string& format,
                      const std::string& name, std::string& state)
  {
    RunResult r = runProgram(IPPTOOL_PATH, {{"-T", "30", "-d", "format=" + format, "-d",
                                             "jobname=" + name, "-f", file, uri(p),
                                             TEST_SOURCE_DIR "/print-job.test"},
                                            env});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    return waitForJob(p, name, state);
  }

  // The filter's output for a raster file with the PPD of the application's defaults.
  std::string filterOutput(const Printer& p, const std::string& raster)
  {
    std::string ppd = dir.file(std::string(p.name) + ".ppd");
    writePpd(ppd, p.zpl ? zplDefaults() : dplDefaults());
    TempDir host;
    std::map<std::string, std::string> filterEnv = {
        {"PPD", ppd}, {"PATH", installFakeHost(host, {"Debian GNU/Linux 12 \\n \\l\n", "Linux version 6.1.0 (debian-kernel@lists.debian.org)\n"})}};
    RunResult r = runProgram(p.zpl ? TORVANE_PATH : SILVANE_PATH,
                             {{"1", "user", "title", "1", "", raster}, filterEnv});
    EXPECT_EQ(0, r.status) << r.err;
    return r.out;
  }

  TempDir dir;
  int port = 0;
  pid_t server = -1;
  std::map<std::string, std::string> env;
};

}  // namespace apptest
