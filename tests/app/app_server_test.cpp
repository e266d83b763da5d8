// app_server_test.cpp: label-printer-app as a server on 127.0.0.1 and a free port, with its
// state, spool, log and socket in a temporary directory; jobs through the `submit`
// sub-command and through CUPS's ipptool, each printer's file device checked byte for byte
// against the filter's output for the same page and settings.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

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

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

int freePort()
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

bool canConnect(int port)
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// The reply to an HTTP GET of an HTML page (each read bounded by a timeout).
std::string httpGet(int port, const std::string& path)
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval timeout = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      ssize_t n;
      // The server may keep the connection open: the page ends with its closing tag.
      while (reply.find("</html>") == std::string::npos && (n = read(fd, buffer, sizeof buffer)) > 0)
        reply.append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return reply;
}

// A 4 x 6 in page of 1-bit black (PWG black_1) with bars, a frame and a diagonal, written
// as PWG raster; the rows are returned for building the filter's input.
void writePwgLabel(const std::string& path, unsigned dpi)
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
std::vector<PpdOption> zplDefaults()
{
  return {{"MediaType", "0", {"0", "1", "2"}},        {"PageType", "2", {"0", "1", "2"}},
          {"Darkness", "15", {"0", "15", "30"}},      {"PrintSpeed", "0", {"0", "3"}},
          {"PrintPosition", "20", {"19", "20", "21"}}, {"TearoffPosition", "20", {"20"}},
          {"OutMode", "0", {"0", "1", "2", "3"}},     {"Pause", "0", {"0", "2"}},
          {"ImageControl", "0", {"0", "1"}},          {"PrintMirror", "0", {"0", "1"}},
          {"Inverse", "0", {"0", "1"}}};
}

std::vector<PpdOption> dplDefaults()
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

  void start()
  {
    std::vector<std::string> args = {APP_PATH,
                                     "server",
                                     "-o", "server-port=" + std::to_string(port),
                                     "-o", "listen-hostname=127.0.0.1",
                                     "-o", "log-file=" + dir.file("log"),
                                     "-o", "log-level=info",
                                     "-o", "spool-directory=" + dir.file("spool"),
                                     "-o", "state-file=" + dir.file("state")};
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

TEST_F(AppServer, EveryFormatPrintsOnEveryDriver)
{
  start();
  addPrinters();
  RunResult drivers = app({"drivers"});
  EXPECT_NE(std::string::npos, drivers.out.find("dpl_300")) << drivers.out;

  std::string pdf = dir.file("label.pdf");
  ASSERT_EQ(0, runProgram(MAKE_PDF_PATH, {{"4x6in", pdf}, env}).status);

  for (const Printer& p : kPrinters) {
    SCOPED_TRACE(p.name);
    std::string state;
    std::string pwg = dir.file(std::string(p.name) + ".pwg");
    writePwgLabel(pwg, p.dpi);
    std::string expected = filterOutput(p, pwg);
    ASSERT_FALSE(expected.empty());

    // PWG raster: exactly what the filter makes of the same page.
    std::string got = submit(p, pwg, "pwg-submit", state);
    EXPECT_EQ("completed", state);
    EXPECT_TRUE(got == expected) << hexDiff(expected, got);
    got = ipptool(p, pwg, "image/pwg-raster", "pwg-ipptool", state);
    EXPECT_EQ("completed", state);
    EXPECT_TRUE(got == expected) << hexDiff(expected, got);

    // PDF: the same job start as the filter's, one label, the same through both clients.
    std::string fromPdf = submit(p, pdf, "pdf-submit", state);
    EXPECT_EQ("completed", state);
    std::size_t preamble = p.zpl ? expected.find("~DG") : expected.find("\x02L");
    ASSERT_NE(std::string::npos, preamble);
    EXPECT_EQ(expected.substr(0, preamble), fromPdf.substr(0, preamble));
    EXPECT_GT(fromPdf.size(), preamble + 1000);
    EXPECT_EQ(fromPdf, ipptool(p, pdf, "application/pdf", "pdf-ipptool", state));

    // Raw printer language, declared and sent as octet-stream, comes out unchanged.
    std::string raw = dir.file(std::string(p.name) + ".raw");
    writeFile(raw, expected);
    EXPECT_TRUE(submit(p, raw, "raw-submit", state) == expected);
    EXPECT_EQ("completed", state);
    EXPECT_TRUE(ipptool(p, raw, p.zpl ? "application/vnd.zebra-zpl" : "application/vnd.datamax-dpl",
                        "raw-ipptool", state) == expected);
    EXPECT_EQ("completed", state);
    // A document in the other printer language is not this printer's: refused or failed.
    writeFile(raw, p.zpl ? std::string("\x02L\rD11\rE\r") : std::string("^XA^XZ"));
    submit(p, raw, "raw-wrong", state);
    EXPECT_EQ("failed", state);
  }

  // PNG: a label rendered at 203 dpi prints as the PDF it came from does; a cut PNG fails its
  // job and nothing else.
  const Printer& z = kPrinters[0];
  std::string png = dir.file("label.png");
  RunResult render = runProgram("/usr/bin/pdftoppm", {{"-r", "203", "-gray", "-png", "-singlefile", pdf, dir.file("label")}, env});
  if (render.status == 0) {
    std::string state;
    std::string fromPng = submit(z, png, "png-submit", state);
    EXPECT_EQ("completed", state);
    EXPECT_GT(fromPng.size(), 1000u);
    EXPECT_EQ(fromPng, ipptool(z, png, "image/png", "png-ipptool", state));
    std::string cut = dir.file("cut.png");
    writeFile(cut, readFile(png).substr(0, 5000));
    submit(z, cut, "png-cut", state);
    EXPECT_EQ("failed", state);
    ipptool(z, cut, "image/png", "png-cut-ipptool", state);
    EXPECT_EQ("failed", state);
    submit(z, png, "png-after", state);
    EXPECT_EQ("completed", state);
  } else {
    ADD_FAILURE() << "pdftoppm (poppler-utils) is needed for the PNG jobs";
  }
}

TEST_F(AppServer, PrintersAndSettingsSurviveARestart)
{
  start();
  addPrinters();
  RunResult r = app({"modify", "-d", "z203", "-o", "label-mode-configured=peel-off", "-o",
                     "printer-darkness-configured=100", "-o", "label-mirror-default=true"});
  ASSERT_EQ(0, r.status) << r.err;
  stop();

  start();
  RunResult printers = app({"printers"});
  for (const Printer& p : kPrinters)
    EXPECT_NE(std::string::npos, printers.out.find(p.name)) << printers.out;

  // The restored settings reach the printer: peel-off (^MMP), darkness 30 (~SD30), mirror
  // (^PMY).
  std::string pwg = dir.file("label.pwg");
  writePwgLabel(pwg, 203);
  std::string state;
  std::string got = submit(kPrinters[0], pwg, "after-restart", state);
  EXPECT_EQ("completed", state);
  EXPECT_NE(std::string::npos, got.find("^MMP")) << got.substr(0, 120);
  EXPECT_NE(std::string::npos, got.find("~SD30")) << got.substr(0, 120);
  EXPECT_NE(std::string::npos, got.find("^PMY")) << got.substr(0, 120);

  // A job's own vendor attribute wins over the printer's default: negative print.
  RunResult job = app({"submit", "-d", "z203", "-t", "reverse", "-o", "label-reverse=true", pwg});
  ASSERT_EQ(0, job.status) << job.err;
  got = waitForJob(kPrinters[0], "reverse", state);
  EXPECT_NE(std::string::npos, got.find("^LRY")) << got.substr(0, 120);

  // The label settings page shows the restored settings.
  std::string page = httpGet(port, "/z203/label");
  EXPECT_EQ(0u, page.find("HTTP/1.1 200")) << page.substr(0, 200);
  EXPECT_NE(std::string::npos, page.find("value=\"peel-off\" selected")) << page;
  EXPECT_NE(std::string::npos, page.find("name=\"label-mirror\" checked")) << page;
}

}  // namespace
