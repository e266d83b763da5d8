// access.cpp: who may do what.  PAPPL 1.3 takes every client of the local socket as an
// administrator, and asks one question ("is this client authorized for this group?") both for
// changes and for printing, so that an authentication callback that refuses changes from
// other hosts refuses their jobs too.  The application answers that question itself (below,
// by its symbol name, which the executable exports so that libpappl's own calls reach it):
// anyone may print and look at the printer; only an administrator changes printers and
// settings or touches someone else's job.  A local user is known by the socket's peer
// credentials, or on loopback by the owner of the connection; anyone else gives a password
// (PAM, over TLS from another host) when an authentication service is set, and is refused
// otherwise.  The local socket itself is made the administrators' own.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "access.h"
#include "glue.h"
#include "options.h"

#include <cerrno>
#include <errno.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

// The server's access settings: the context's, set once before the server runs and read by
// every client thread (PAPPL's access question carries no data pointer to find them by).
const AccessSettings* settings = nullptr;

std::string readFile(const char* name)
{
  std::ifstream in(name);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Who the client is: the socket's peer, a loopback connection's owner, or another host.
Caller callerOf(pappl_client_t* client)
{
  Caller caller;
  http_t* http = papplClientGetHTTP(client);
  int fd = httpGetFd(http);
  caller.encrypted = papplClientIsEncrypted(client);
  sockaddr_storage peer = {}, self = {};
  socklen_t peerSize = sizeof peer, selfSize = sizeof self;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfSize) != 0)
    return caller;
  if (peer.ss_family == AF_LOCAL) {
    caller.place = Caller::Place::socket;
    ucred credentials = {};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0)
      caller.uid = credentials.uid;
    return caller;
  }
  if (!httpAddrLocalhost(httpGetAddress(http)))
    return caller;
  caller.place = Caller::Place::loopback;
  if (peer.ss_family == AF_INET) {
    const auto& p = reinterpret_cast<const sockaddr_in&>(peer);
    const auto& s = reinterpret_cast<const sockaddr_in&>(self);
    caller.uid = connectionOwner(readFile("/proc/net/tcp"), procNetEndpoint(&p.sin_addr, 4, ntohs(p.sin_port)),
                                 procNetEndpoint(&s.sin_addr, 4, ntohs(s.sin_port)));
  } else if (peer.ss_family == AF_INET6) {
    const auto& p = reinterpret_cast<const sockaddr_in6&>(peer);
    const auto& s = reinterpret_cast<const sockaddr_in6&>(self);
    caller.uid = connectionOwner(readFile("/proc/net/tcp6"), procNetEndpoint(&p.sin6_addr, 16, ntohs(p.sin6_port)),
                                 procNetEndpoint(&s.sin6_addr, 16, ntohs(s.sin6_port)));
  }
  return caller;
}

bool localAdmin(const Caller& caller)
{
  if (!caller.uid || settings == nullptr)
    return false;
  return isAdministrator(settings->admins, *caller.uid, accountGroups(*caller.uid));
}

// Whether the client owns the job it names: it gives the name the job was created with
// (requesting-user-name), as PAPPL records the owner of a job from a client it has not
// authenticated.  (A spooler's backend sends its users' jobs under their names.)
bool ownsJob(pappl_client_t* client, pappl_job_t* job)
{
  const char* owner = papplJobGetUsername(job);
  if (owner == nullptr)
    return true;
  ipp_t* request = papplClientGetRequest(client);
  ipp_attribute_t* name = request != nullptr ? ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME) : nullptr;
  const char* given = name != nullptr ? ippGetString(name, 0, nullptr) : nullptr;
  return given != nullptr && std::strcmp(given, owner) == 0;
}

// A job list for someone who is not an administrator holds only the jobs made under the name
// it gives (as if it had asked with my-jobs): no other job's name or owner.
void onlyOwnJobs(pappl_client_t* client)
{
  ipp_t* request = papplClientGetRequest(client);
  if (request == nullptr)
    return;
  if (ipp_attribute_t* mine = ippFindAttribute(request, "my-jobs", IPP_TAG_ZERO))
    ippDeleteAttribute(request, mine);
  ippAddBoolean(request, IPP_TAG_OPERATION, "my-jobs", 1);
}

// A password from the Authorization header, for an administrator: the account passes the PAM
// service and is root or in the admin group.
http_status_t checkPassword(pappl_client_t* client)
{
  const char* header = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
  if (header == nullptr || *header == '\0')
    return HTTP_STATUS_UNAUTHORIZED;
  if (std::strncmp(header, "Basic ", 6) != 0)
    return HTTP_STATUS_BAD_REQUEST;
  char decoded[512];
  int size = sizeof decoded;
  httpDecode64_2(decoded, &size, header + 6);
  char* colon = std::strchr(decoded, ':');
  if (colon == nullptr)
    return HTTP_STATUS_BAD_REQUEST;
  *colon = '\0';
  std::string user = decoded, password = colon + 1;
  std::memset(decoded, 0, sizeof decoded);
  if (!pamAuthenticate(settings->authService, user, password)) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "A password for \"%s\" was refused.", user.c_str());
    return HTTP_STATUS_UNAUTHORIZED;
  }
  std::optional<uid_t> account = accountUid(user);
  if (!account || !isAdministrator(settings->admins, *account, accountGroups(*account))) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "\"%s\" is not an administrator.", user.c_str());
    return HTTP_STATUS_FORBIDDEN;
  }
  papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Authenticated as \"%s\".", user.c_str());
  return HTTP_STATUS_CONTINUE;
}

}  // namespace

void setAccessSettings(const AccessSettings* current)
{
  settings = current;
}

bool localAdministrator(pappl_client_t* client)
{
  return localAdmin(callerOf(client));
}

http_status_t authorize(pappl_client_t* client, bool printing)
{
  if (settings == nullptr)
    return HTTP_STATUS_FORBIDDEN;
  // Printing and one's own jobs are anyone's: the caller is looked up only when it matters.
  Request request = Request::change;
  bool jobList = false;
  if (printing) {
    pappl_job_t* job = papplClientGetJob(client);
    request = job == nullptr || ownsJob(client, job) ? Request::printerAccess : Request::othersJob;
    jobList = papplClientGetOperation(client) == IPP_OP_GET_JOBS;
    if (request == Request::printerAccess && !jobList)
      return HTTP_STATUS_CONTINUE;
  }
  Caller caller = callerOf(client);
  bool admin = localAdmin(caller);
  if (jobList && !admin)
    onlyOwnJobs(client);
  switch (decide(request, caller, admin, !settings->authService.empty())) {
    case Verdict::allow: return HTTP_STATUS_CONTINUE;
    case Verdict::needEncryption: return HTTP_STATUS_UPGRADE_REQUIRED;
    case Verdict::needPassword: return checkPassword(client);
    case Verdict::forbid: break;
  }
  const char* what = request == Request::othersJob ? "a change to someone else's job" : "a change";
  if (caller.place == Caller::Place::remote)
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Refused %s from another host: %s", what,
                   papplClientGetHostName(client));
  else
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Refused %s from local user %d, not an administrator", what,
                   caller.uid ? static_cast<int>(*caller.uid) : -1);
  return HTTP_STATUS_FORBIDDEN;
}

std::string localSocketPath()
{
  // PAPPL names it after the program, as it was run.
  std::string base = program_invocation_short_name;
  if (const char* snap = std::getenv("SNAP_COMMON"); snap != nullptr && *snap)
    return std::string(snap) + "/" + base + ".sock";
  if (getuid() == 0)
    return "/run/" + base + ".sock";
  return std::string(papplGetTempDir()) + "/" + base + std::to_string(getuid()) + ".sock";
}

void secureLocalSocket(pappl_system_t* system)
{
  if (settings == nullptr)
    return;
  // PAPPL's socket, and the service's one in systemd's runtime directory when there is one.
  for (const std::string& path : {localSocketPath(), serviceSocketPath(std::getenv("RUNTIME_DIRECTORY"))}) {
    struct stat info;
    if (path.empty() || lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != geteuid())
      continue;
    bool group = settings->admins.adminGid.has_value();
    if ((group && chown(path.c_str(), static_cast<uid_t>(-1), *settings->admins.adminGid) != 0) ||
        chmod(path.c_str(), group ? 0660 : 0600) != 0)
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to restrict the local socket \"%s\": %s", path.c_str(),
               std::strerror(errno));
  }
}

}  // namespace app

#ifdef LABEL_APP_TAKES_JOBS
// PAPPL 1.3's one access check: `allow_remote` is set for printing and job operations (and
// for the owner check that follows on someone else's job), clear for changes.
extern "C" http_status_t _papplClientIsAuthorizedForGroup(pappl_client_t* client, bool allowRemote, const char*,
                                                          gid_t)
{
  return app::authorize(client, allowRemote);
}
#endif
