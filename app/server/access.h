// access.h: who may change the server, and where a file device may write.  Plain decisions on
// plain values: the glue finds out who is asking (the socket's peer credentials, the owner of a
// loopback connection) and asks here.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace app {

// Who the administrators are: root, the server's own user, and the members of the admin group
// (none when `adminGid` is empty).
struct Administrators {
  uid_t serverUid = 0;
  std::optional<gid_t> adminGid;
};

// The server's access settings: its administrators, the PAM service that takes passwords
// (empty: none), and the directory file devices write in.
struct AccessSettings {
  Administrators admins;
  std::string authService;
  std::string fileDir;
};

// Whether a local user (`uid`, with its primary and supplementary groups) administers the
// server.
bool isAdministrator(const Administrators& admins, uid_t uid, std::span<const gid_t> groups);

// The groups of the account `uid` (its primary group and the groups it is a member of); empty
// for an unknown uid.
std::vector<gid_t> accountGroups(uid_t uid);

// The login name of `uid`; empty for an unknown uid.
std::string accountName(uid_t uid);
// The uid of the login `name`.
std::optional<uid_t> accountUid(const std::string& name);

// The admin group: the one named by the server option when given, else for a server run as root
// `lpadmin` when the system has it.  Sets `error` when a named group does not exist.
std::optional<gid_t> adminGroup(const char* option, uid_t serverUid, std::string& error);

// A TCP endpoint as /proc/net/tcp and tcp6 print it ("0100007F:1F90"): the address's 32-bit
// words in host order, then the port, in hex.
std::string procNetEndpoint(const void* address, std::size_t addressSize, unsigned port);

// The owner of the connection whose client end is `client` and whose server end is `server`
// (both as procNetEndpoint prints them), read from the text of /proc/net/tcp or tcp6.
std::optional<uid_t> connectionOwner(std::string_view procNetTcp, std::string_view client,
                                     std::string_view server);

// What is asked of the server, as far as access goes.
enum class Request {
  printerAccess,  // print, query the printer, look at or cancel one's own jobs
  othersJob,      // look at or cancel someone else's job
  change,         // add, change or delete printers, change settings
};

// Where a client is, and what is known about it.
struct Caller {
  enum class Place { socket, loopback, remote } place = Place::remote;
  std::optional<uid_t> uid;   // known for the socket and (usually) loopback
  bool encrypted = false;
};

enum class Verdict {
  allow,
  forbid,            // refused whatever the client sends
  needPassword,      // a change that a password for an administrator allows
  needEncryption,    // ... over TLS only
};

// The decision, before any password: a local administrator may do anything; anyone may use the
// printer; a change from anyone else needs an authentication service (and TLS from another
// host), else it is refused.
Verdict decide(Request request, const Caller& caller, bool isAdmin, bool haveAuthService);

// Whether `user` with `password` passes the PAM service `service`.
bool pamAuthenticate(const std::string& service, const std::string& user, const std::string& password);

// Whether a device URI may be used, with the reason when not: `file:` only for a path inside
// `allowedDir` (an existing file or directory there, or a new file directly in one), after
// following symbolic links; other schemes unchanged.  Empty: allowed.
std::string deviceRefusal(std::string_view uri, const std::string& allowedDir);

}  // namespace app
