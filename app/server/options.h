// options.h: the server's `-o` options in plain terms: the `server-options` words, the log
// level, and where the state and spool go when no option says.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <string>
#include <string_view>

namespace app {

// The server's switches, as the `server-options` words set them (the glue maps each onto
// PAPPL's own).
enum ServerFlag : unsigned {
  kServerNone = 0,
  kServerDnssdHost = 1u << 0,
  kServerMultiQueue = 1u << 1,
  kServerRawSocket = 1u << 2,
  kServerUsbPrinter = 1u << 3,
  kServerWebInterface = 1u << 4,
  kServerWebLog = 1u << 5,
  kServerWebNetwork = 1u << 6,
  kServerWebRemote = 1u << 7,
  kServerWebSecurity = 1u << 8,
  kServerWebTls = 1u << 9,
  kServerNoTls = 1u << 10,
};
using ServerFlags = unsigned;

// The flags for a comma-separated word list: the defaults (several queues, the web
// interface) changed by each word in turn; "none" clears everything before it; unknown words
// are ignored.  Null: the defaults.
ServerFlags serverFlags(const char* words);

enum class LogLevel { fatal, error, warn, info, debug };
// "fatal" ... "debug"; anything else (or null) is warn.
LogLevel logLevel(const char* name);

// The default state file or spool directory: `rootDir/label-printer-app<suffix>` for root,
// else under $XDG_CONFIG_HOME (or ~/.config, or /tmp), which is made when missing.
std::string defaultPath(std::string_view suffix, std::string_view rootDir);

inline constexpr const char* kBaseName = "label-printer-app";

// The extra local socket of a server that systemd runs as a user of its own: PAPPL names a
// non-root server's socket after its uid in $TMPDIR, where root's commands never look, so the
// server also listens on `label-printer-app.sock` in the first directory of systemd's
// $RUNTIME_DIRECTORY, which /run/label-printer-app.sock links to.  Empty when the variable is
// unset or empty (started by hand).
std::string serviceSocketPath(const char* runtimeDirectory);

}  // namespace app
