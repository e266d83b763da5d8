// app_status_test.cpp: a ZPL printer's host status: the reply read into conditions and
// reasons, the query against a fake network printer that answers, stays silent, answers
// slowly or hangs up, and the server showing and clearing the reasons while jobs still
// print to a printer that never answers.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "appserver.h"
#include "fakeprinter.h"
#include "hoststatus.h"
#include "statusquery.h"

#include <cups/cups.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace apptest;
using namespace app;

namespace {

std::string frame(const std::string& text) { return "\x02" + text + "\x03\r\n"; }

// A printer that is ready: 1218-dot labels, thermal transfer, tear-off.
const std::string kString1 = "030,0,0,1218,000,0,0,0,000,0,0,0";
const std::string kString2 = "000,0,0,0,1,2,4,0,00000000,1,000";
const std::string kString3 = "1234,0";
const std::string kReady = frame(kString1) + frame(kString2) + frame(kString3);

// `text` with its field `index` (from 0) replaced by `value`.
std::string withField(const std::string& text, std::size_t index, const std::string& value)
{
  std::size_t start = 0;
  for (std::size_t i = 0; i < index; i++)
    start = text.find(',', start) + 1;
  std::size_t end = text.find(',', start);
  return text.substr(0, start) + value + (end == std::string::npos ? "" : text.substr(end));
}

std::string reply(const std::string& one, const std::string& two = kString2,
                  const std::string& three = kString3)
{
  return frame(one) + frame(two) + frame(three);
}

std::optional<StatusReasons> reasonsOf(const std::string& bytes)
{
  std::optional<HostStatus> status = parseHostStatus(bytes);
  if (!status)
    return std::nullopt;
  return reasonsFromStatus(*status);
}

TEST(HostStatusParse, ReadyPrinterReadsEveryString)
{
  std::string text = reply("030,0,0,1218,002,0,0,0,000,0,0,0",
                           "146,0,0,0,1,K,4,1,00000017,1,003", "1234,1");
  std::optional<HostStatus> s = parseHostStatus(text);
  ASSERT_TRUE(s);
  EXPECT_EQ(30, s->commSettings);
  EXPECT_EQ(1218, s->labelLength);
  EXPECT_EQ(2, s->formatsInBuffer);
  EXPECT_EQ(146, s->functionSettings);
  EXPECT_TRUE(s->thermalTransfer);
  EXPECT_EQ('K', s->printMode);
  EXPECT_EQ(4, s->printWidthMode);
  EXPECT_TRUE(s->labelWaiting);
  EXPECT_EQ(17, s->labelsRemaining);
  EXPECT_EQ(3, s->graphicsStored);
  EXPECT_EQ(1234, s->password);
  EXPECT_TRUE(s->staticRam);
  EXPECT_EQ(kReasonNone, reasonsFromStatus(*s));
}

TEST(HostStatusParse, EachConditionSetsItsReasonAlone)
{
  const struct {
    int string;
    std::size_t field;
    StatusReasons reason;
  } cases[] = {{1, 1, kReasonMediaEmpty},       {1, 2, kReasonPaused},
               {1, 5, kReasonSpoolAreaFull},    {1, 10, kReasonUnderTemperature},
               {1, 11, kReasonOverTemperature}, {2, 2, kReasonCoverOpen},
               {2, 3, kReasonMarkerSupplyEmpty}};
  StatusReasons all = kReasonNone;
  std::string one = kString1, two = kString2;
  for (const auto& c : cases) {
    SCOPED_TRACE(reasonNames(c.reason));
    std::string text = c.string == 1 ? reply(withField(kString1, c.field, "1"))
                                     : reply(kString1, withField(kString2, c.field, "1"));
    EXPECT_EQ(c.reason, reasonsOf(text));
    std::string& both = c.string == 1 ? one : two;
    both = withField(both, c.field, "1");
    all |= c.reason;
  }
  EXPECT_EQ(all, reasonsOf(reply(one, two)));
  // Flags that map to no reason: diagnostics, partial format, corrupt RAM, label waiting.
  std::string quiet = withField(withField(withField(kString1, 6, "1"), 7, "1"), 9, "1");
  EXPECT_EQ(kReasonNone, reasonsOf(reply(quiet, withField(kString2, 7, "1"))));
}

TEST(HostStatusParse, RibbonOutCountsOnlyInThermalTransferMode)
{
  std::string ribbonOut = withField(kString2, 3, "1");
  EXPECT_EQ(kReasonMarkerSupplyEmpty, reasonsOf(reply(kString1, ribbonOut)));
  EXPECT_EQ(kReasonNone, reasonsOf(reply(kString1, withField(ribbonOut, 4, "0"))));
}

TEST(HostStatusParse, FramingVariantsAreAccepted)
{
  std::string bare = "\x02" + kString1 + "\x03\x02" + kString2 + "\x03\x02" + kString3 + "\x03";
  EXPECT_TRUE(parseHostStatus(bare));
  EXPECT_TRUE(parseHostStatus("\r\n\n" + kReady));   // left over from an earlier reply
  EXPECT_TRUE(parseHostStatus(kReady + "\x02" "ABC"));  // what follows is not ours
  std::string lf = "\x02" + kString1 + "\x03\n\x02" + kString2 + "\x03\n\x02" + kString3 + "\x03\n";
  EXPECT_TRUE(parseHostStatus(lf));
}

TEST(HostStatusParse, GarbageGivesNothing)
{
  const std::string cases[] = {
      "",
      "\r\n",
      "OK\r\n",
      frame(kString1) + frame(kString2),                      // two strings
      "x" + kReady,                                           // something before the first
      frame(kString1) + "junk" + frame(kString2) + frame(kString3),
      reply(kString1 + ",0"),                                 // a field too many
      reply(kString1.substr(0, kString1.rfind(','))),         // a field too few
      reply(kString1, kString2, "1234"),
      reply(withField(kString1, 1, "2")),                     // a flag that is not 0 or 1
      reply(withField(kString1, 1, "")),
      reply(withField(kString1, 1, "00")),
      reply(withField(kString1, 3, "12a8")),                  // a number with a letter
      reply(withField(kString1, 3, "")),
      reply(withField(kString1, 3, "123456789")),             // longer than any field
      reply(withField(kString1, 3, "-1")),
      reply(kString1, withField(kString2, 5, "kk")),
      reply(kString1, withField(kString2, 5, ",")),
      "\x02" + kString1 + "\x02" + kString2 + "\x03\r\n" + frame(kString2) + frame(kString3),
      reply(kString1 + std::string(1, '\0')),
      reply(std::string(kString1.size(), '\xff')),
      frame(kString3) + frame(kString1) + frame(kString2),    // in the wrong order
  };
  for (const std::string& text : cases)
    EXPECT_FALSE(parseHostStatus(text)) << printableBytes(text);
  // Every reply cut short before its last frame end.
  for (std::size_t n = 0; n < kReady.rfind('\x03'); n++)
    EXPECT_FALSE(parseHostStatus(kReady.substr(0, n))) << n;
}

TEST(StatusReasons, ClearedWhenGoneKeptWhenTheReplyIsGarbage)
{
  std::optional<HostStatus> paperOut = parseHostStatus(reply(withField(kString1, 1, "1")));
  std::optional<HostStatus> headUp = parseHostStatus(reply(kString1, withField(kString2, 2, "1")));
  std::optional<HostStatus> ready = parseHostStatus(kReady);
  ASSERT_TRUE(paperOut && headUp && ready);

  ReasonUpdate u = updateReasons(kReasonNone, paperOut);
  EXPECT_EQ(kReasonMediaEmpty, u.add);
  EXPECT_EQ(kReasonNone, u.remove);
  u = updateReasons(u.current, paperOut);  // still out: nothing changes
  EXPECT_EQ(kReasonNone, u.add | u.remove);
  EXPECT_EQ(kReasonMediaEmpty, u.current);
  u = updateReasons(u.current, headUp);
  EXPECT_EQ(kReasonCoverOpen, u.add);
  EXPECT_EQ(kReasonMediaEmpty, u.remove);
  u = updateReasons(u.current, std::nullopt);  // garbage or silence: the state is unknown
  EXPECT_EQ(kReasonNone, u.add | u.remove);
  EXPECT_EQ(kReasonCoverOpen, u.current);
  u = updateReasons(u.current, ready);
  EXPECT_EQ(kReasonNone, u.add);
  EXPECT_EQ(kReasonCoverOpen, u.remove);
  EXPECT_EQ(kReasonNone, u.current);
}

TEST(StatusReasons, LogTextIsPrintable)
{
  EXPECT_EQ("media-empty,spool-area-full", reasonNames(kReasonMediaEmpty | kReasonSpoolAreaFull));
  EXPECT_EQ("none", reasonNames(kReasonNone));
  EXPECT_EQ("<02>a<5C><00><FF><3C>", printableBytes(std::string("\x02" "a\\\0\xff<", 6)));
  EXPECT_EQ("abc...", printableBytes("abcdef", 3));
}

TEST(SocketUri, HostAndPort)
{
  std::string host;
  int port = 0;
  EXPECT_TRUE(parseSocketUri("socket://192.168.1.40", host, port));
  EXPECT_EQ("192.168.1.40", host);
  EXPECT_EQ(9100, port);
  EXPECT_TRUE(parseSocketUri("socket://printer.local:6101/?waiteof=false", host, port));
  EXPECT_EQ("printer.local", host);
  EXPECT_EQ(6101, port);
  EXPECT_TRUE(parseSocketUri("socket://[::1]:9101", host, port));
  EXPECT_EQ("::1", host);
  EXPECT_EQ(9101, port);
  for (const char* bad : {"usb://Zebra/ZD420?serial=1", "file:///tmp/out", "socket://", "socket://:9100",
                          "socket://h:0", "socket://h:65536", "socket://h:91x0",
                          "socket://[::1", "socket://[::1]x", "socket://a:1:2", "socket://h:0000009100"}) {
    port = 0;
    EXPECT_FALSE(parseSocketUri(bad, host, port)) << bad;
  }
}

// ---------------------------------------------------------------------------------------------
// The query against a fake network printer.

constexpr Milliseconds kShort{400};

TEST(StatusQuery, AnswerArrivesWholeAndTheConnectionIsClosed)
{
  FakePrinter printer;
  printer.setReply(kReady);
  QueryResult r = queryHostStatus("127.0.0.1", printer.port());
  EXPECT_EQ(QueryOutcome::answered, r.outcome) << r.error;
  EXPECT_BYTES(kReady, r.reply);
  ASSERT_TRUE(printer.waitUntil([](const FakePrinter::Record& rec) {
    return rec.connections.size() == 1 && !rec.connections[0].open;
  }, 5s));
  EXPECT_EQ("~HS", printer.record().connections[0].received);
}

TEST(StatusQuery, SlowReplyWithinTheDeadline)
{
  FakePrinter printer;
  printer.setReply(kReady);
  printer.setReplyDelay(100ms, 3ms);
  QueryResult r = queryHostStatus("127.0.0.1", printer.port());
  EXPECT_EQ(QueryOutcome::answered, r.outcome) << r.error;
  EXPECT_TRUE(parseHostStatus(r.reply));
}

TEST(StatusQuery, SilentOrTooSlowIsNoAnswer)
{
  FakePrinter printer;
  printer.setSilent(true);
  QueryResult r = queryHostStatus("127.0.0.1", printer.port(), kShort, kShort);
  EXPECT_EQ(QueryOutcome::silent, r.outcome);
  EXPECT_TRUE(r.reply.empty());
  EXPECT_EQ(1u, printer.queries());

  // Half a reply by the deadline: incomplete, and nothing the parser accepts.
  printer.setSilent(false);
  printer.setReply(kReady);
  printer.setReplyDelay(0ms, Milliseconds(2 * kShort.count() / static_cast<long>(kReady.size())));
  r = queryHostStatus("127.0.0.1", printer.port(), kShort, kShort);
  EXPECT_EQ(QueryOutcome::silent, r.outcome);
  EXPECT_FALSE(r.reply.empty());
  EXPECT_LT(r.reply.size(), kReady.size());
  EXPECT_FALSE(parseHostStatus(r.reply));
}

TEST(StatusQuery, HangUpsAndRefusalsAreNoAnswer)
{
  FakePrinter printer;
  printer.setReply(kReady);
  printer.setDropAfter(3);  // reads the query, then hangs up
  QueryResult r = queryHostStatus("127.0.0.1", printer.port(), kShort, kShort);
  EXPECT_EQ(QueryOutcome::closed, r.outcome);

  printer.setDropAfter(0);  // hangs up at once
  r = queryHostStatus("127.0.0.1", printer.port(), kShort, kShort);
  EXPECT_NE(QueryOutcome::answered, r.outcome);

  int unused = freePort();
  r = queryHostStatus("127.0.0.1", unused, kShort, kShort);
  EXPECT_EQ(QueryOutcome::failed, r.outcome);
  EXPECT_NE(std::string::npos, r.error.find("cannot connect")) << r.error;
  r = queryHostStatus("no such host.invalid", 9100, kShort, kShort);
  EXPECT_EQ(QueryOutcome::failed, r.outcome);
}

TEST(StatusQuery, EndlessReplyIsCut)
{
  FakePrinter printer;
  printer.setReply(std::string(5000, 'A'));
  QueryResult r = queryHostStatus("127.0.0.1", printer.port(), kShort, kShort);
  EXPECT_EQ(QueryOutcome::answered, r.outcome);
  EXPECT_EQ(512u, r.reply.size());
  EXPECT_FALSE(parseHostStatus(r.reply));
}

// A channel given to the query (as a USB device is): scripted reads.
struct Script {
  std::vector<std::string> reads;  // each read's bytes; "" = nothing yet, "EOF" = failed
  std::size_t next = 0;
  std::string sent;
  bool sendWorks = true;
};

bool scriptSend(void* context, const char* bytes, std::size_t length)
{
  auto* s = static_cast<Script*>(context);
  s->sent.append(bytes, length);
  return s->sendWorks;
}

long scriptReceive(void* context, char* buffer, std::size_t size, Milliseconds)
{
  auto* s = static_cast<Script*>(context);
  if (s->next >= s->reads.size())
    return 0;
  std::string chunk = s->reads[s->next++];
  if (chunk == "EOF")
    return -1;
  std::size_t n = std::min(size, chunk.size());
  std::memcpy(buffer, chunk.data(), n);
  return static_cast<long>(n);
}

TEST(StatusQuery, ChannelReadsUntilTheReplyIsWhole)
{
  Script script;
  for (std::size_t at = 0; at < kReady.size(); at += 7)
    script.reads.insert(script.reads.end(), {"", kReady.substr(at, 7)});
  script.reads.push_back("more that must not be read");
  StatusChannel channel{&script, scriptSend, scriptReceive};
  QueryResult r = queryHostStatus(channel, 5s);
  EXPECT_EQ(QueryOutcome::answered, r.outcome);
  EXPECT_EQ("~HS", script.sent);
  EXPECT_BYTES(kReady, r.reply);

  Script broken;
  broken.reads = {kReady.substr(0, 10), "EOF"};
  r = queryHostStatus(StatusChannel{&broken, scriptSend, scriptReceive}, 5s);
  EXPECT_EQ(QueryOutcome::closed, r.outcome);

  Script quiet;  // reads that come back at once with nothing, until the deadline
  r = queryHostStatus(StatusChannel{&quiet, scriptSend, scriptReceive}, kShort);
  EXPECT_EQ(QueryOutcome::silent, r.outcome);

  Script unsendable;
  unsendable.sendWorks = false;
  r = queryHostStatus(StatusChannel{&unsendable, scriptSend, scriptReceive}, kShort);
  EXPECT_EQ(QueryOutcome::failed, r.outcome);
}

// ---------------------------------------------------------------------------------------------
// The server: printer-state-reasons follow the printer; jobs go through a silent one.

class AppStatus : public AppServer {
 protected:
  // printer-state-reasons of printer `name`, as Get-Printer-Attributes returns them.
  std::string stateReasons(const std::string& name)
  {
    http_t* http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                10000, nullptr);
    if (http == nullptr)
      return "(no connection)";
    httpSetTimeout(http, 20.0, nullptr, nullptr);
    std::string resource = "/ipp/print/" + name;
    std::string printerUri = "ipp://127.0.0.1:" + std::to_string(port) + resource;
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-state-reasons");
    ipp_t* response = cupsDoRequest(http, request, resource.c_str());
    std::string reasons = "(no reply)";
    char text[1024];
    if (ipp_attribute_t* attr = ippFindAttribute(response, "printer-state-reasons", IPP_TAG_KEYWORD);
        attr != nullptr && ippAttributeString(attr, text, sizeof text) > 0)
      reasons = text;
    ippDelete(response);
    httpClose(http);
    return reasons;
  }

  // Reads the reasons until `done` holds for them (the server asks the printer at most
  // every two seconds): the last reasons read, and whether `done` held within 30 s.
  bool waitForReasons(const std::string& name, const std::function<bool(const std::string&)>& done,
                      std::string& last)
  {
    auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
      last = stateReasons(name);
      if (done(last))
        return true;
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      std::this_thread::sleep_for(300ms);
    }
  }

  static bool has(const std::string& reasons, const std::string& word)
  {
    return ("," + reasons + ",").find("," + word + ",") != std::string::npos;
  }
};

TEST_F(AppStatus, ReasonsFollowThePrinterAndClear)
{
  FakePrinter printer, dplPrinter;
  printer.setReply(kReady);
  dplPrinter.setReply(kReady);
  start();
  RunResult r = app({"add", "-d", "zs", "-m", "zpl_203", "-v", printer.uri()});
  ASSERT_EQ(0, r.status) << r.err;
  r = app({"add", "-d", "ds", "-m", "dpl_203", "-v", dplPrinter.uri()});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("none", stateReasons("ds"));

  std::string reasons;
  const auto queried = [&](std::size_t after) {
    return [&printer, after](const std::string&) { return printer.queries() > after; };
  };
  EXPECT_TRUE(waitForReasons("zs", queried(0), reasons)) << "the printer was never asked";
  EXPECT_TRUE(waitForReasons("zs", [](const std::string& s) { return s == "none"; }, reasons)) << reasons;

  printer.setReply(reply(withField(kString1, 1, "1")));
  EXPECT_TRUE(waitForReasons("zs", [](const std::string& s) { return has(s, "media-empty"); }, reasons))
      << reasons;
  // Paused, buffer full and ribbon out together; paused has no reason of its own in PAPPL.
  printer.setReply(reply(withField(withField(kString1, 2, "1"), 5, "1"), withField(kString2, 3, "1")));
  EXPECT_TRUE(waitForReasons("zs", [](const std::string& s) {
    return has(s, "other") && has(s, "spool-area-full") && has(s, "marker-supply-empty") &&
           !has(s, "media-empty");
  }, reasons)) << reasons;
  printer.setReply(reply(kString1, withField(kString2, 2, "1")));
  EXPECT_TRUE(waitForReasons("zs", [](const std::string& s) { return s == "cover-open"; }, reasons))
      << reasons;

  // Garbage changes nothing: the cover stays open until a reply says otherwise.
  printer.setReply("\x02garbage\x03\r\n\x02\x03\r\n\x02\x03\r\n");
  std::size_t asked = printer.queries();
  EXPECT_TRUE(waitForReasons("zs", queried(asked), reasons));
  EXPECT_TRUE(has(stateReasons("zs"), "cover-open"));

  printer.setReply(kReady);
  EXPECT_TRUE(waitForReasons("zs", [](const std::string& s) { return s == "none"; }, reasons)) << reasons;

  std::string log = readFile(dir.file("log"));
  EXPECT_NE(std::string::npos, log.find("<02>garbage<03>")) << "the garbage is logged, escaped";

  // A DPL printer is never sent ~HS (it would print it as text).
  EXPECT_EQ("none", stateReasons("ds"));
  EXPECT_EQ(0u, dplPrinter.record().connections.size());
}

TEST_F(AppStatus, JobsPrintWholeToAPrinterThatNeverAnswers)
{
  FakePrinter printer;
  printer.setSilent(true);
  start();
  RunResult r = app({"add", "-d", "zs", "-m", "zpl_203", "-v", printer.uri()});
  ASSERT_EQ(0, r.status) << r.err;

  const Printer zs = {"zs", "zpl_203", true, 203};
  std::string pwg = dir.file("label.pwg");
  writePwgLabel(pwg, 203);
  std::string expected = filterOutput(zs, pwg);
  ASSERT_FALSE(expected.empty());

  // A status read that waits for the silent printer while the job starts.
  std::string reasons;
  std::thread reader([&] { reasons = stateReasons("zs"); });
  printer.waitUntil([](const FakePrinter::Record& rec) { return rec.queries > 0; }, 10s);
  std::string state;
  submit(zs, pwg, "silent", state);
  reader.join();
  EXPECT_EQ("completed", state);
  EXPECT_FALSE(has(reasons, "media-empty")) << reasons;
  EXPECT_GE(printer.queries(), 1u);

  // The job's connection carried the job, byte for byte; status queries came on their own.
  ASSERT_TRUE(printer.waitUntil([](const FakePrinter::Record& rec) {
    for (const FakePrinter::Connection& c : rec.connections) {
      if (c.received != "~HS" && !c.open)
        return true;
    }
    return false;
  }, 10s));
  std::vector<std::string> jobs;
  for (const FakePrinter::Connection& c : printer.record().connections) {
    if (c.received != "~HS")
      jobs.push_back(c.received);
  }
  ASSERT_EQ(1u, jobs.size());
  EXPECT_TRUE(jobs[0] == expected) << hexDiff(expected, jobs[0]);
  std::string log = readFile(dir.file("log"));
  EXPECT_NE(std::string::npos, log.find("No host status from the printer (no reply)")) << log;

  // A printer that did not answer is left alone for a while: reads of its state past PAPPL's
  // two seconds between status calls do not wait for it again.
  std::size_t asked = printer.queries();
  std::this_thread::sleep_for(2500ms);
  stateReasons("zs");
  EXPECT_EQ(asked, printer.queries());
}

}  // namespace
