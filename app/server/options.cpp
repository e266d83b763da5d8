// options.cpp: server option words and default paths.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "options.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

ServerFlags serverFlags(const char* words)
{
  static constexpr struct {
    std::string_view name;
    ServerFlags add, remove;
  } kWords[] = {
      {"dnssd-host", kServerDnssdHost, 0},
      {"no-multi-queue", 0, kServerMultiQueue},
      {"raw-socket", kServerRawSocket, 0},
      {"usb-printer", kServerUsbPrinter, 0},
      {"no-web-interface", 0, kServerWebInterface},
      {"web-log", kServerWebLog, 0},
      {"web-network", kServerWebNetwork, 0},
      {"web-remote", kServerWebRemote, 0},
      {"web-security", kServerWebSecurity, 0},
      {"web-tls", kServerWebTls, 0},
      {"no-tls", kServerNoTls, 0},
  };
  ServerFlags flags = kServerMultiQueue | kServerWebInterface;
  if (words == nullptr)
    return flags;
  std::string_view list = words;
  for (;;) {
    std::size_t comma = list.find(',');
    std::string_view word = list.substr(0, comma);
    if (word == "none")
      flags = kServerNone;
    for (const auto& w : kWords) {
      if (word == w.name)
        flags = (flags | w.add) & ~w.remove;
    }
    if (comma == std::string_view::npos)
      break;
    list.remove_prefix(comma + 1);
  }
  return flags;
}

LogLevel logLevel(const char* name)
{
  static constexpr struct {
    std::string_view name;
    LogLevel level;
  } kLevels[] = {{"fatal", LogLevel::fatal}, {"error", LogLevel::error}, {"warn", LogLevel::warn},
                 {"info", LogLevel::info},   {"debug", LogLevel::debug}};
  for (const auto& l : kLevels) {
    if (name != nullptr && name == l.name)
      return l.level;
  }
  return LogLevel::warn;
}

std::string defaultPath(std::string_view suffix, std::string_view rootDir)
{
  std::string name = std::string(kBaseName) + std::string(suffix);
  if (getuid() == 0)
    return std::string(rootDir) + "/" + name;
  std::string dir;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config)
    dir = config;
  else if (const char* home = std::getenv("HOME"); home != nullptr && *home)
    dir = std::string(home) + "/.config";
  else
    dir = "/tmp";
  mkdir(dir.c_str(), 0700);
  return dir + "/" + name;
}

std::string serviceSocketPath(const char* runtimeDirectory)
{
  if (runtimeDirectory == nullptr)
    return {};
  std::string_view dir = runtimeDirectory;
  dir = dir.substr(0, dir.find(':'));
  if (dir.empty())
    return {};
  return std::string(dir) + "/" + kBaseName + ".sock";
}

}  // namespace app
