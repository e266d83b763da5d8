// statusquery.h: asking a printer for its host status, with every wait bounded.  Over a
// network (socket://) the query opens a connection of its own; over any other channel
// (a USB device the adapter has opened) it talks through two functions it is given.
// No PAPPL here.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace app {

using Milliseconds = std::chrono::milliseconds;

// How long the application waits for a printer: to connect, and for the whole reply.
inline constexpr Milliseconds kConnectTimeout{2000};
inline constexpr Milliseconds kReplyDeadline{2000};

// How a query ended.
enum class QueryOutcome {
  answered,  // a reply came: three frame ends, or more bytes than a host status has; the
             // parser decides whether it is well formed
  silent,    // nothing, or not the whole reply, before the deadline
  closed,    // the printer closed the connection (or the channel failed) before the whole reply
  failed,    // no connection, or the query could not be sent
};

struct QueryResult {
  QueryOutcome outcome = QueryOutcome::failed;
  std::string reply;   // the bytes received, whole or not
  std::string error;   // what went wrong, for the log
};

// A socket:// device URI's host and port (9100 when the URI names none).  False for other
// schemes and for URIs without a host or with a port outside 1-65535.  IPv6 addresses are
// written in brackets: socket://[::1]:9100.
bool parseSocketUri(std::string_view uri, std::string& host, int& port);

// Sends ~HS to host:port over a new TCP connection and reads the reply: connecting (to each
// of the name's addresses in turn) takes at most `connectTimeout` in all, sending and
// reading together at most `replyDeadline`.  The connection is closed before this returns.  A host name is looked up
// with the system resolver first, which has its own timeouts.
QueryResult queryHostStatus(const std::string& host, int port, Milliseconds connectTimeout = kConnectTimeout,
                            Milliseconds replyDeadline = kReplyDeadline);

// A channel to a printer the caller has opened.  `send` writes all the bytes (false when it
// cannot); `receive` reads what has arrived into the buffer, waiting at most `wait`:
// the number of bytes, 0 when nothing came, -1 when the channel failed or closed.  A channel
// that cannot wait (a USB read has its own timeout) returns 0 or -1 when its own wait ends.
struct StatusChannel {
  void* context = nullptr;
  bool (*send)(void* context, const char* bytes, std::size_t length) = nullptr;
  long (*receive)(void* context, char* buffer, std::size_t size, Milliseconds wait) = nullptr;
};

// Sends ~HS over `channel` and collects the reply until it is whole, the channel fails or
// `replyDeadline` has passed (checked between reads).  Reading stops at 512 bytes, more than
// any host status has.
QueryResult queryHostStatus(const StatusChannel& channel, Milliseconds replyDeadline = kReplyDeadline);

}  // namespace app
