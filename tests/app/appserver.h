// appserver.h: label-printer-app as a server in a test: on 127.0.0.1 and a free port, with
// its state, spool, log and socket in a temporary directory, started and stopped by the
// test with every wait bounded.  Each test program that includes this defines APP_PATH,
// TORVANE_PATH, SILVANE_PATH, IPPTOOL_PATH and TEST_SOURCE_DIR.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "testsupport.h"

#include <cstdint>
#include <algorithm>
#include <cups/cups.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
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

// Whether process `pid` itself listens on 127.0.0.1:port: the port's listening socket in
// /proc/net/tcp is one of the process's open files (a port taken meanwhile by another program
// does not count).
inline bool listensOn(pid_t pid, int port)
{
  char local[16];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::ifstream tcp("/proc/net/tcp");
  std::string line, inode;
  std::getline(tcp, line);  // the header
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, node;
    fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> node;
    if (address == local && state == "0A")
      inode = node;
  }
  if (inode.empty())
    return false;
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    std::error_code unreadable;
    if (std::filesystem::read_symlink(fd.path(), unreadable).string() == "socket:[" + inode + "]")
      return true;
  }
  return false;
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

  // Starts the server; `extra` adds server arguments (more `-o name=value`).  The port was
  // free when the fixture looked, but anything may take it before the server binds it: a
  // server that exits at once, or starts without the port, is started again on another.
  void start(const std::vector<std::string>& extra = {})
  {
    for (int attempt = 1;; attempt++) {
      if (startOnce(extra))
        return;
      ASSERT_LT(attempt, 5) << "the server did not start on any of 5 ports";
      stop();
      port = freePort();
    }
  }

  // Starts the server on `port`; false when it did not get the port.
  bool startOnce(const std::vector<std::string>& extra)
  {
    std::vector<std::string> args = {APP_PATH,
                                     "server",
                                     "-o", "server-port=" + std::to_string(port),
                                     "-o", "listen-hostname=127.0.0.1",
                                     "-o", "log-file=" + dir.file("log"),
                                     "-o", "log-level=info",
                                     "-o", "spool-directory=" + dir.file("spool"),
                                     "-o", "state-file=" + dir.file("state"),
                                     "-o", "file-directory=" + dir.file("")};
    args.insert(args.end(), extra.begin(), extra.end());
    // A server killed outright leaves its socket behind: the new one's is waited for.
    std::filesystem::remove(dir.file("label-printer-app.sock"));
    server = fork();
    EXPECT_GE(server, 0);
    if (server < 0)
      return true;
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
    // The server binds its TCP listener before it makes its local socket: once the socket is
    // there, the port is the server's or was taken by someone else.
    auto deadline = std::chrono::steady_clock::now() + 20s;
    for (;;) {
      if (std::filesystem::exists(dir.file("label-printer-app.sock")))
        return listensOn(server, port);
      int status = 0;
      if (waitpid(server, &status, WNOHANG) == server) {
        server = -1;
        return false;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the server did not start";
        return true;
      }
      std::this_thread::sleep_for(20ms);
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

  // One job as Get-Jobs reports it.
  struct JobInfo {
    int id = 0;
    std::string name;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
  };

  // The printer's jobs, pending and ended, over IPP.
  std::vector<JobInfo> jobs(const std::string& printer)
  {
    std::vector<JobInfo> found;
    http_t* http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 10000, nullptr);
    if (http == nullptr)
      return found;
    httpSetTimeout(http, 20.0, nullptr, nullptr);
    std::string resource = "/ipp/print/" + printer;
    std::string printerUri = "ipp://127.0.0.1:" + std::to_string(port) + resource;
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    static const char* const wanted[] = {"job-id", "job-name", "job-state"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr, wanted);
    ipp_t* response = cupsDoRequest(http, request, resource.c_str());
    JobInfo job;
    for (ipp_attribute_t* attr = ippFirstAttribute(response); attr != nullptr; attr = ippNextAttribute(response)) {
      const char* name = ippGetName(attr);
      if (name == nullptr) {  // the end of one job's group
        if (job.id > 0)
          found.push_back(job);
        job = JobInfo();
      } else if (std::strcmp(name, "job-id") == 0) {
        job.id = ippGetInteger(attr, 0);
      } else if (std::strcmp(name, "job-name") == 0) {
        job.name = ippGetString(attr, 0, nullptr);
      } else if (std::strcmp(name, "job-state") == 0) {
        job.state = static_cast<ipp_jstate_t>(ippGetInteger(attr, 0));
      }
    }
    if (job.id > 0)
      found.push_back(job);
    ippDelete(response);
    httpClose(http);
    return found;
  }

  // Waits (60 s at most) until job `name` of the printer has ended: "completed", "failed"
  // (aborted or cancelled) or "timeout".
  std::string jobEnd(const std::string& printer, const std::string& name)
  {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const JobInfo& job : jobs(printer)) {
        if (job.name != name)
          continue;
        if (job.state == IPP_JSTATE_COMPLETED)
          return "completed";
        if (job.state == IPP_JSTATE_ABORTED || job.state == IPP_JSTATE_CANCELED)
          return "failed";
      }
      std::this_thread::sleep_for(50ms);
    }
    return "timeout";
  }

  // Waits until a job of the printer is in `state`; returns the job's number ("0" if none
  // gets there within 60 s).
  std::string waitForState(const std::string& printer, ipp_jstate_t state)
  {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const JobInfo& job : jobs(printer)) {
        if (job.state == state)
          return std::to_string(job.id);
      }
      std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "no job got to state " << state;
    return "0";
  }

  // The bytes the printer's file device got for job `name`, once its job has ended;
  // `jobState` says how it ended ("completed", "failed", "timeout").
  std::string waitForJob(const Printer& p, const std::string& name, std::string& jobState)
  {
    jobState = jobEnd(p.name, name);
    if (jobState == "timeout")
      return {};
    std::string file = dir.file(p.name) + "/" + name + (p.zpl ? ".zpl" : ".dpl");
    return std::filesystem::exists(file) ? readFile(file) : std::string();
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
