// app_access_test.cpp: who administers the server, the owner of a loopback connection, the
// access decision, file devices, the busy retry and the job list without names.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "access.h"
#include "busyretry.h"
#include "pages.h"
#include "testsupport.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

using namespace app;
using namespace testsupport;

namespace {

TEST(Administrators, RootTheServersUserAndTheAdminGroup)
{
  Administrators admins{1000, 105};
  const gid_t inGroup[] = {100, 105};
  const gid_t notInGroup[] = {100, 27};
  EXPECT_TRUE(isAdministrator(admins, 0, {}));
  EXPECT_TRUE(isAdministrator(admins, 1000, {}));
  EXPECT_TRUE(isAdministrator(admins, 1001, inGroup));
  EXPECT_FALSE(isAdministrator(admins, 1001, notInGroup));
  EXPECT_FALSE(isAdministrator(admins, 65534, {}));
  admins.adminGid.reset();
  EXPECT_FALSE(isAdministrator(admins, 1001, inGroup));

  std::string error;
  EXPECT_FALSE(adminGroup("no-such-group-here", 0, error));
  EXPECT_NE(std::string::npos, error.find("no-such-group-here"));
  error.clear();
  EXPECT_FALSE(adminGroup(nullptr, 1000, error)) << "a user's server has no default admin group";
  EXPECT_TRUE(error.empty());
  // The account's own groups include its primary group.
  std::vector<gid_t> groups = accountGroups(getuid());
  EXPECT_NE(std::find(groups.begin(), groups.end(), getgid()), groups.end());
  EXPECT_TRUE(accountGroups(static_cast<uid_t>(4000000000u)).empty());
  EXPECT_EQ(accountUid(accountName(getuid())), getuid());
}

TEST(LoopbackOwner, ReadsTheConnectionTable)
{
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:1F40 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
      "   1: 0100007F:A1B2 0100007F:1F40 01 00000000:00000000 00:00000000 00000000 65534        0 2 1\n"
      "   2: 0100007F:1F40 0100007F:A1B2 01 00000000:00000000 00:00000000 00000000     0        0 3 1\n";
  EXPECT_EQ(connectionOwner(table, "0100007F:A1B2", "0100007F:1F40"), 65534u);
  EXPECT_EQ(connectionOwner(table, "0100007F:1F40", "0100007F:A1B2"), 0u);
  EXPECT_FALSE(connectionOwner(table, "0100007F:A1B3", "0100007F:1F40"));
  EXPECT_FALSE(connectionOwner("", "0100007F:A1B2", "0100007F:1F40"));
  EXPECT_FALSE(connectionOwner("   1: 0100007F:A1B2 0100007F:1F40 01 0:0 0:0 0 x 0 2\n", "0100007F:A1B2",
                               "0100007F:1F40"));
}

// A real loopback connection, looked up as the server looks up its clients.
TEST(LoopbackOwner, FindsThisProcessesConnection)
{
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(server, 1));
  socklen_t size = sizeof address;
  getsockname(server, reinterpret_cast<sockaddr*>(&address), &size);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
  int accepted = accept(server, nullptr, nullptr);
  sockaddr_in peer = {}, self = {};
  size = sizeof peer;
  getpeername(accepted, reinterpret_cast<sockaddr*>(&peer), &size);
  size = sizeof self;
  getsockname(accepted, reinterpret_cast<sockaddr*>(&self), &size);
  std::ifstream in("/proc/net/tcp");
  std::ostringstream table;
  table << in.rdbuf();
  EXPECT_EQ(connectionOwner(table.str(), procNetEndpoint(&peer.sin_addr, 4, ntohs(peer.sin_port)),
                            procNetEndpoint(&self.sin_addr, 4, ntohs(self.sin_port))),
            geteuid());
  close(accepted);
  close(client);
  close(server);
}

TEST(AccessDecision, AnyonePrintsOnlyAdministratorsChange)
{
  using Place = Caller::Place;
  const Caller socketUser{Place::socket, 1000, false}, loopbackUser{Place::loopback, 1000, false},
      remote{Place::remote, std::nullopt, false}, remoteTls{Place::remote, std::nullopt, true};
  for (const Caller& caller : {socketUser, loopbackUser, remote, remoteTls}) {
    for (bool auth : {false, true}) {
      EXPECT_EQ(Verdict::allow, decide(Request::printerAccess, caller, false, auth));
      EXPECT_EQ(Verdict::allow, decide(Request::change, caller, true, auth));
    }
  }
  // Without an authentication service nobody else changes anything; over the socket no
  // password is taken at all.
  for (const Caller& caller : {socketUser, loopbackUser, remote, remoteTls}) {
    EXPECT_EQ(Verdict::forbid, decide(Request::change, caller, false, false));
    EXPECT_EQ(Verdict::forbid, decide(Request::othersJob, caller, false, false));
  }
  EXPECT_EQ(Verdict::forbid, decide(Request::change, socketUser, false, true));
  EXPECT_EQ(Verdict::needPassword, decide(Request::change, loopbackUser, false, true));
  EXPECT_EQ(Verdict::needEncryption, decide(Request::othersJob, remote, false, true));
  EXPECT_EQ(Verdict::needPassword, decide(Request::change, remoteTls, false, true));
}

TEST(FileDevices, OnlyInsideTheDirectoryAfterLinks)
{
  TempDir tmp;
  namespace fs = std::filesystem;
  std::string allowed = tmp.file("labels");
  fs::create_directories(allowed + "/sub");
  std::ofstream(tmp.file("secret")) << "x";
  std::ofstream(allowed + "/out.zpl") << "";
  fs::create_directories(tmp.file("labels-evil"));
  fs::create_symlink(tmp.file("secret"), allowed + "/link.zpl");
  fs::create_symlink(tmp.path(), allowed + "/up");

  for (const std::string& uri : {"file://" + allowed + "?ext=zpl", "file://" + allowed + "/out.zpl",
                                 "file://" + allowed + "/sub/new.zpl", "file://localhost" + allowed + "/out.zpl",
                                 "file:" + allowed + "/out.zpl", "file://" + allowed + "/sub/../out.zpl",
                                 std::string("socket://10.0.0.5:9100"), std::string("usb://Zebra/ZD420?serial=1"),
                                 std::string("dnssd://Zebra._pdl-datastream._tcp.local/")})
    EXPECT_EQ("", deviceRefusal(uri, allowed)) << uri;
  for (const std::string& uri :
       {"file://" + tmp.file("secret"), "file://" + allowed + "/link.zpl", "file://" + allowed + "/up/secret",
        "file://" + allowed + "/../secret", "file://" + allowed + "%2F..%2Fsecret",
        "file://" + tmp.file("labels-evil") + "?ext=zpl", std::string("file:///etc/passwd"),
        std::string("file:///"), "file://otherhost" + allowed + "/out.zpl", std::string("file:relative"),
        "file://" + allowed + "/missing/new.zpl"})
    EXPECT_NE("", deviceRefusal(uri, allowed)) << uri;
  std::string reason = deviceRefusal("file:///etc/passwd", allowed);
  EXPECT_NE(std::string::npos, reason.find(allowed)) << reason;
  EXPECT_NE(std::string::npos, reason.find("/etc/passwd")) << reason;
  // No directory: no file device at all.
  EXPECT_NE("", deviceRefusal("file://" + allowed + "/out.zpl", ""));
  EXPECT_NE("", deviceRefusal("file://" + allowed + "/out.zpl", tmp.file("missing")));
}

TEST(BusyRetry, BoundedAndGrowing)
{
  std::chrono::milliseconds total(0), last(0);
  int attempts = 0;
  while (auto delay = busyRetryDelay(attempts + 1)) {
    EXPECT_GE(*delay, last);
    EXPECT_LE(*delay, std::chrono::milliseconds(4000));
    last = *delay;
    total += *delay;
    attempts++;
    ASSERT_LT(attempts, 100);
  }
  EXPECT_GE(attempts, 5);
  EXPECT_GE(total, std::chrono::seconds(20));
  EXPECT_LE(total, std::chrono::seconds(40));
  EXPECT_FALSE(busyRetryDelay(0));
}

TEST(JobList, StatesWithoutNames)
{
  std::string html = jobListHtml({{3, "completed", 2}, {4, "<pending>", 0}});
  EXPECT_NE(std::string::npos, html.find("<td>3</td><td>completed</td><td>2</td>"));
  EXPECT_NE(std::string::npos, html.find("&lt;pending&gt;"));
  EXPECT_NE(std::string::npos, jobListHtml({}).find("No jobs"));
}

}  // namespace
