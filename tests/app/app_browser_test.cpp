// app_browser_test.cpp: the printer application's status and preview pages in a real browser
// (headless Chromium): the text the pages show, the preview image against the label the
// printer got, the test label, and a screenshot of the preview page kept in the build tree.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "appserver.h"
#include "pngcheck.h"
#include "preview.h"
#include "testlabel.h"

#include <cstring>
#include <iostream>
// GCC 12 warns about its own std::regex internals under the sanitizers (a false
// "may be used uninitialized" in std::function).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

using namespace apptest;
using namespace pngcheck;

namespace {

// One HTTP/1.1 exchange on 127.0.0.1 with every read bounded: the status code and the body.
// A body with a Content-Length is read to its end; an HTML page to its closing tag.
struct HttpReply {
  int status = 0;
  std::string body;
};

HttpReply httpExchange(int port, const std::string& method, const std::string& path,
                       const std::string& form = "")
{
  HttpReply reply;
  int fd = connectLoopback(port, 20);
  if (fd < 0)
    return reply;
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                        std::to_string(port) + "\r\nConnection: close\r\n";
  if (!form.empty())
    request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
               std::to_string(form.size()) + "\r\n";
  request += "\r\n" + form;
  std::string text;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[16384];
    for (;;) {
      std::size_t end = text.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::smatch length;
        std::string head = text.substr(0, end);
        if (std::regex_search(head, length, std::regex("Content-Length: *([0-9]+)", std::regex::icase)) &&
            text.size() >= end + 4 + std::stoul(length[1].str()) && std::stoul(length[1].str()) > 0)
          break;
        if (text.find("</html>", end) != std::string::npos)
          break;
      }
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0)
        break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  std::size_t end = text.find("\r\n\r\n");
  if (text.rfind("HTTP/1.1 ", 0) == 0 && end != std::string::npos) {
    reply.status = std::atoi(text.c_str() + 9);
    reply.body = text.substr(end + 4);
    std::smatch length;
    std::string head = text.substr(0, end);
    if (std::regex_search(head, length, std::regex("Content-Length: *([0-9]+)", std::regex::icase)))
      reply.body.resize(std::min<std::size_t>(reply.body.size(), std::stoul(length[1].str())));
  }
  return reply;
}

class BrowserTest : public AppServer {
 protected:
  // Headless Chromium on `url` with its own profile in the test's directory, bounded by a
  // timeout; `mode` is "--dump-dom" or "--screenshot=PATH".
  RunResult chromium(const std::string& url, const std::string& mode)
  {
    std::map<std::string, std::string> browserEnv = {
        {"HOME", dir.path()}, {"TMPDIR", dir.path()}, {"PATH", "/usr/bin:/bin"}};
    return runProgram("/usr/bin/timeout",
                      {{"-k", "5", "120", CHROMIUM_PATH, "--headless", "--no-sandbox",
                        "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                        "--disable-background-networking", "--disable-component-update",
                        "--disable-sync", "--hide-scrollbars", "--user-data-dir=" + dir.file("chromium"),
                        "--window-size=1000,1800", mode, url},
                       browserEnv});
  }

  std::string url(const std::string& path) const
  {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

  // The label PNG the page shows for job `id`, fetched as the browser does.
  std::string labelImage(const std::string& src)
  {
    std::string path = std::regex_replace(src, std::regex("&amp;"), "&");
    HttpReply reply = httpExchange(port, "GET", path);
    EXPECT_EQ(200, reply.status) << path;
    return reply.body;
  }

  // Posts a page's form with its own session value: `action` on `path`.
  HttpReply postAction(const std::string& path, const std::string& action)
  {
    HttpReply page = httpExchange(port, "GET", path);
    std::smatch session;
    EXPECT_TRUE(std::regex_search(page.body, session, std::regex("name=\"session\" value=\"([0-9a-f]+)\"")))
        << page.body;
    std::string form = "session=" + session[1].str();
    if (!action.empty())
      form += "&action=" + action;
    return httpExchange(port, "POST", path, form);
  }
};

TEST_F(BrowserTest, PreviewPageShowsTheLabelThePrinterGot)
{
  if (std::string(CHROMIUM_PATH).empty() || access(CHROMIUM_PATH, X_OK) != 0)
    GTEST_SKIP() << "chromium is not installed";
  start();
  const Printer& p = kPrinters[0];
  RunResult added = app({"add", "-d", p.name, "-m", p.driver, "-v", "file://" + dir.file(p.name) + "?ext=zpl"});
  ASSERT_EQ(0, added.status) << added.err;

  // Before any job: the page says so.
  RunResult empty = chromium(url("/z203/preview"), "--dump-dom");
  ASSERT_EQ(0, empty.status) << empty.err;
  EXPECT_NE(std::string::npos, empty.out.find("No job has printed")) << empty.out;

  std::string pwg = dir.file("label.pwg");
  writePwgLabel(pwg, p.dpi);
  std::string state;
  std::string sent = submit(p, pwg, "browser-label", state);
  ASSERT_EQ("completed", state);
  ASSERT_FALSE(sent.empty());

  // The printer's status page links to the preview.
  RunResult status = chromium(url("/z203/"), "--dump-dom");
  ASSERT_EQ(0, status.status) << status.err;
  EXPECT_NE(std::string::npos, status.out.find("href=\"/z203/preview\"")) << status.out;
  EXPECT_NE(std::string::npos, status.out.find("Label Preview"));

  // The preview page: the job, its label's size and settings in words, and its image.
  RunResult preview = chromium(url("/z203/preview"), "--dump-dom");
  ASSERT_EQ(0, preview.status) << preview.err;
  const std::string& dom = preview.out;
  for (const char* text : {"Label Preview", "browser-label", "Print a test label",
                           "812 x 1218 dots, 101.6 x 152.4 mm at 203 dpi", "Darkness:",
                           "Speed:", "Mode:", "tear-off (^MMT)", "Orientation:", "normal (^PON)"})
    EXPECT_NE(std::string::npos, dom.find(text)) << text << "\n" << dom;
  std::smatch img;
  ASSERT_TRUE(std::regex_search(dom, img, std::regex("<img src=\"(/z203/preview\\.png\\?job=[0-9]+&amp;label=1)\"")))
      << dom;

  // The image is the label the device's bytes print, dot for dot, and that label holds the
  // page sent: the frame, the bars, the diagonal.
  LabelJob job;
  JobError error;
  ASSERT_TRUE(parseLabelJob({reinterpret_cast<const unsigned char*>(sent.data()), sent.size()}, job, error))
      << error.what;
  ASSERT_EQ(1u, job.labels.size());
  const LabelImage& label = job.labels[0].image;
  Grey shown = decodePng(labelImage(img[1].str()));
  EXPECT_EQ(0u, differingDots(shown, label.width, label.height, label.rowBytes, label.bits));
  EXPECT_TRUE(labelDot(label, 2, 600) && labelDot(label, 100, 200) && labelDot(label, 7, 300));
  EXPECT_FALSE(labelDot(label, 400, 100));

  // The screenshot, for a person to look at.
  std::string artifacts = ARTIFACTS_DIR;
  std::filesystem::create_directories(artifacts);
  std::string screenshot = artifacts + "/preview-page.png";
  std::filesystem::remove(screenshot);
  RunResult shot = chromium(url("/z203/preview"), "--screenshot=" + screenshot);
  ASSERT_EQ(0, shot.status) << shot.err;
  Grey page = decodePng(readFile(screenshot));
  ASSERT_EQ(1000u, page.width);
  ASSERT_EQ(1800u, page.height);
  // The browser drew the label: its frame and bars make thousands of black pixels below the
  // page's heading, where otherwise there is only text.
  std::size_t black = 0;
  for (std::size_t at = 400 * page.width; at < 1400 * page.width; at++)
    black += page.dots[at] < 64;
  EXPECT_GT(black, 30000u);
  std::cout << "preview page screenshot: " << screenshot << std::endl;
  RecordProperty("screenshot", screenshot);
}

// PAPPL's "Print Test Page" button and the preview page's own both print the test label of the
// printer's label size; the preview shows it as drawn, until the printer is deleted.  (No
// browser needed: the forms are posted and the page read over HTTP.)
TEST_F(BrowserTest, TestLabelPrintsFromBothButtons)
{
  start();
  const Printer& p = kPrinters[1];
  RunResult added = app({"add", "-d", p.name, "-m", p.driver, "-v", "file://" + dir.file(p.name) + "?ext=zpl"});
  ASSERT_EQ(0, added.status) << added.err;
  app::LabelBitmap expected = app::testLabel(1200, 1800, 300);  // 4 x 6 in at 300 dpi

  HttpReply pappl = postAction("/z300/", "print-test-page");
  EXPECT_NE(std::string::npos, pappl.body.find("Test page printed")) << pappl.body;
  std::string state;
  EXPECT_FALSE(waitForJob(p, "Test Page", state).empty());
  EXPECT_EQ("completed", state);
  HttpReply ours = postAction("/z300/preview", "test-label");
  EXPECT_NE(std::string::npos, ours.body.find("The test label is printing")) << ours.body;
  EXPECT_FALSE(waitForJob(p, "Test label", state).empty());
  EXPECT_EQ("completed", state);

  HttpReply preview = httpExchange(port, "GET", "/z300/preview");
  ASSERT_EQ(200, preview.status);
  EXPECT_NE(std::string::npos, preview.body.find("Test Page"));
  EXPECT_NE(std::string::npos, preview.body.find("1200 x 1800 dots, 101.6 x 152.4 mm at 300 dpi"));
  std::vector<std::string> sources;
  std::regex img("<img src=\"(/z300/preview\\.png\\?job=[0-9]+&amp;label=1)\"");
  for (auto at = std::sregex_iterator(preview.body.begin(), preview.body.end(), img);
       at != std::sregex_iterator(); ++at)
    sources.push_back((*at)[1].str());
  ASSERT_EQ(2u, sources.size()) << preview.body;
  for (const std::string& src : sources) {
    SCOPED_TRACE(src);
    Grey shown = decodePng(labelImage(src));
    EXPECT_EQ(0u, differingDots(shown, expected.width, expected.height, expected.bytesPerLine, expected.bits));
  }
  // A job the page never had, and a label the job does not have.
  EXPECT_EQ(404, httpExchange(port, "GET", "/z300/preview.png?job=999&label=1").status);
  std::string second = std::regex_replace(sources[0], std::regex("label=1"), "label=2");
  EXPECT_EQ(404, httpExchange(port, "GET", std::regex_replace(second, std::regex("&amp;"), "&")).status);

  // Deleting the printer takes its pages with it, and the server goes on answering.
  HttpReply deleted = postAction("/z300/delete", "");
  EXPECT_TRUE(deleted.status == 200 || deleted.status == 302 || deleted.status == 303) << deleted.status;
  EXPECT_EQ(404, httpExchange(port, "GET", "/z300/preview").status);
  EXPECT_EQ(404, httpExchange(port, "GET", sources[0]).status);
  EXPECT_EQ(200, httpExchange(port, "GET", "/").status);
}

}  // namespace
