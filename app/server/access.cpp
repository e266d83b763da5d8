// access.cpp: administrators, loopback connection owners, PAM, file devices.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "access.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

namespace app {

bool isAdministrator(const Administrators& admins, uid_t uid, std::span<const gid_t> groups)
{
  if (uid == 0 || uid == admins.serverUid)
    return true;
  return admins.adminGid && std::find(groups.begin(), groups.end(), *admins.adminGid) != groups.end();
}

namespace {

// getpwuid_r into a buffer of the size the system suggests.
bool lookUp(uid_t uid, passwd& entry, std::vector<char>& buffer)
{
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  buffer.resize(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd* found = nullptr;
  while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  return found != nullptr;
}

}  // namespace

std::vector<gid_t> accountGroups(uid_t uid)
{
  passwd entry;
  std::vector<char> buffer;
  if (!lookUp(uid, entry, buffer))
    return {};
  std::vector<gid_t> groups(64);
  for (int tries = 0; tries < 8; tries++) {
    int count = static_cast<int>(groups.size());
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) >= 0) {
      groups.resize(static_cast<std::size_t>(count));
      return groups;
    }
    groups.resize(static_cast<std::size_t>(std::max(count, static_cast<int>(groups.size()) * 2)));
  }
  return {entry.pw_gid};
}

std::string accountName(uid_t uid)
{
  passwd entry;
  std::vector<char> buffer;
  return lookUp(uid, entry, buffer) ? entry.pw_name : "";
}

std::optional<uid_t> accountUid(const std::string& name)
{
  passwd entry;
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  while (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (found == nullptr)
    return std::nullopt;
  return found->pw_uid;
}

std::optional<gid_t> adminGroup(const char* option, uid_t serverUid, std::string& error)
{
  const char* name = option != nullptr ? option : serverUid == 0 ? "lpadmin" : nullptr;
  if (name == nullptr || *name == '\0')
    return std::nullopt;
  group entry;
  group* found = nullptr;
  std::vector<char> buffer(16384);
  while (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (found != nullptr)
    return found->gr_gid;
  if (option != nullptr)
    error = std::string("the admin group \"") + option + "\" does not exist";
  return std::nullopt;
}

std::string procNetEndpoint(const void* address, std::size_t addressSize, unsigned port)
{
  std::string text;
  char word[16];
  for (std::size_t i = 0; i + 4 <= addressSize; i += 4) {
    std::uint32_t value;
    std::memcpy(&value, static_cast<const unsigned char*>(address) + i, 4);
    std::snprintf(word, sizeof word, "%08X", value);
    text += word;
  }
  std::snprintf(word, sizeof word, ":%04X", port & 0xffffu);
  return text + word;
}

std::optional<uid_t> connectionOwner(std::string_view table, std::string_view client, std::string_view server)
{
  // "  sl  local_address rem_address   st tx_queue:rx_queue tr:tm->when retrnsmt   uid ..."
  while (!table.empty()) {
    std::size_t end = table.find('\n');
    std::string_view line = table.substr(0, end);
    table = end == std::string_view::npos ? std::string_view() : table.substr(end + 1);
    std::string_view fields[8];
    std::size_t count = 0;
    while (count < 8) {
      std::size_t start = line.find_first_not_of(' ');
      if (start == std::string_view::npos)
        break;
      line.remove_prefix(start);
      std::size_t stop = line.find(' ');
      fields[count++] = line.substr(0, stop);
      line = stop == std::string_view::npos ? std::string_view() : line.substr(stop);
    }
    if (count < 8 || fields[1] != client || fields[2] != server)
      continue;
    std::string uid(fields[7]);
    char* after = nullptr;
    unsigned long value = std::strtoul(uid.c_str(), &after, 10);
    if (after == uid.c_str() || *after != '\0' || value > UINT_MAX)
      return std::nullopt;
    return static_cast<uid_t>(value);
  }
  return std::nullopt;
}

Verdict decide(Request request, const Caller& caller, bool isAdmin, bool haveAuthService)
{
  if (request == Request::printerAccess || isAdmin)
    return Verdict::allow;
  // No password is taken over the local socket: only its administrators change things there.
  if (caller.place == Caller::Place::socket || !haveAuthService)
    return Verdict::forbid;
  if (caller.place == Caller::Place::remote && !caller.encrypted)
    return Verdict::needEncryption;
  return Verdict::needPassword;
}

namespace {

struct Credentials {
  const std::string* user;
  const std::string* password;
};

int answer(int count, const pam_message** messages, pam_response** responses, void* data)
{
  if (count <= 0 || count > PAM_MAX_NUM_MSG)
    return PAM_CONV_ERR;
  auto* credentials = static_cast<Credentials*>(data);
  auto* replies = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
  if (replies == nullptr)
    return PAM_BUF_ERR;
  for (int i = 0; i < count; i++) {
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
      replies[i].resp = strdup(credentials->user->c_str());
    else if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
      replies[i].resp = strdup(credentials->password->c_str());
  }
  *responses = replies;
  return PAM_SUCCESS;
}

}  // namespace

bool pamAuthenticate(const std::string& service, const std::string& user, const std::string& password)
{
  Credentials credentials{&user, &password};
  pam_conv conversation{answer, &credentials};
  pam_handle_t* handle = nullptr;
  int status = pam_start(service.c_str(), user.c_str(), &conversation, &handle);
  if (status == PAM_SUCCESS)
    status = pam_authenticate(handle, PAM_SILENT);
  if (status == PAM_SUCCESS)
    status = pam_acct_mgmt(handle, PAM_SILENT);
  if (handle != nullptr)
    pam_end(handle, status);
  return status == PAM_SUCCESS;
}

namespace {

// The path of a `file:` URI, percent-decoded, without its query; empty when it has none or
// names another host.
std::string filePath(std::string_view uri)
{
  uri.remove_prefix(5);  // "file:"
  if (uri.substr(0, 2) == "//") {
    uri.remove_prefix(2);
    std::size_t slash = uri.find('/');
    std::string_view host = uri.substr(0, slash);
    if (!host.empty() && host != "localhost")
      return "";
    uri = slash == std::string_view::npos ? std::string_view() : uri.substr(slash);
  }
  uri = uri.substr(0, uri.find_first_of("?#"));
  std::string path;
  for (std::size_t i = 0; i < uri.size(); i++) {
    if (uri[i] == '%' && i + 2 < uri.size() && std::isxdigit(static_cast<unsigned char>(uri[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(uri[i + 2]))) {
      path += static_cast<char>(std::stoi(std::string(uri.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      path += uri[i];
    }
  }
  if (path.find('\0') != std::string::npos)
    return "";
  return path;
}

std::string resolved(const std::string& path)
{
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

bool inside(const std::string& path, const std::string& dir)
{
  return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                         (dir.back() == '/' || path[dir.size()] == '/'));
}

}  // namespace

std::string deviceRefusal(std::string_view uri, const std::string& allowedDir)
{
  if (uri.size() < 5 || uri.substr(0, 5) != "file:")
    return "";
  std::string path = filePath(uri);
  if (path.empty() || path[0] != '/')
    return "A file device needs a local path such as file:///dir?ext=zpl.";
  std::string dir = allowedDir.empty() ? "" : resolved(allowedDir);
  std::string where = allowedDir.empty() ? std::string("no directory (none is set)") : "\"" + allowedDir + "\"";
  std::string refusal = "File devices may only write inside " + where + ": \"" + path + "\" is outside it.";
  if (dir.empty())
    return refusal;
  std::string target = resolved(path);
  if (target.empty()) {
    // A new file, directly in an existing directory.
    std::size_t slash = path.rfind('/');
    std::string name = path.substr(slash + 1);
    std::string parent = resolved(slash == 0 ? "/" : path.substr(0, slash));
    if (parent.empty() || name.empty() || name == "." || name == "..")
      return "The file device's directory \"" + path.substr(0, slash) + "\" does not exist.";
    target = parent + "/" + name;
  }
  return inside(target, dir) ? "" : refusal;
}

}  // namespace app
