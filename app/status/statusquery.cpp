// statusquery.cpp: asking a printer for its host status over a network connection or a
// channel the caller opened, never waiting longer than the deadlines allow.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "statusquery.h"

#include "hoststatus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace app {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReplyLimit = 512;

// The time left until `deadline`, in whole milliseconds for poll (never negative).
int millisecondsLeft(Clock::time_point deadline)
{
  auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on `fd` until `deadline`: true when they came.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
  for (;;) {
    pollfd p = {fd, events, 0};
    int n = poll(&p, 1, millisecondsLeft(deadline));
    if (n < 0 && errno == EINTR)
      continue;
    return n > 0;
  }
}

// A connected socket: what the channel functions work on.
struct SocketChannel {
  int fd;
  Clock::time_point deadline;
};

bool sendSocket(void* context, const char* bytes, std::size_t length)
{
  auto* s = static_cast<SocketChannel*>(context);
  while (length > 0) {
    ssize_t n = ::send(s->fd, bytes, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(s->fd, POLLOUT, s->deadline))
        return false;
      continue;
    }
    if (n <= 0)
      return false;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

long receiveSocket(void* context, char* buffer, std::size_t size, Milliseconds wait)
{
  auto* s = static_cast<SocketChannel*>(context);
  if (!waitFor(s->fd, POLLIN, Clock::now() + wait))
    return 0;
  for (;;) {
    ssize_t n = ::recv(s->fd, buffer, size, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return 0;
    return n > 0 ? static_cast<long>(n) : -1;
  }
}

// A non-blocking socket connected to `address` by `deadline`, or -1 with `error` set.
int connectBy(const addrinfo& address, Clock::time_point deadline, std::string& error)
{
  int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    address.ai_protocol);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0)
    return fd;
  if (errno != EINPROGRESS) {
    error = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  if (!waitFor(fd, POLLOUT, deadline)) {
    error = "connection timed out";
    ::close(fd);
    return -1;
  }
  int status = 0;
  socklen_t length = sizeof status;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &length) != 0 || status != 0) {
    error = std::strerror(status != 0 ? status : errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool parseSocketUri(std::string_view uri, std::string& host, int& port)
{
  constexpr std::string_view scheme = "socket://";
  if (uri.substr(0, scheme.size()) != scheme)
    return false;
  std::string_view rest = uri.substr(scheme.size());
  rest = rest.substr(0, rest.find_first_of("/?#"));

  std::string_view name, portText;
  if (!rest.empty() && rest[0] == '[') {
    std::size_t close = rest.find(']');
    if (close == std::string_view::npos)
      return false;
    name = rest.substr(1, close - 1);
    std::string_view after = rest.substr(close + 1);
    if (!after.empty() && after[0] != ':')
      return false;
    portText = after.empty() ? after : after.substr(1);
  } else {
    std::size_t colon = rest.find(':');
    name = rest.substr(0, colon);
    portText = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (portText.find(':') != std::string_view::npos)
      return false;
  }
  if (name.empty())
    return false;

  long value = 9100;
  if (!portText.empty()) {
    if (portText.size() > 5)
      return false;
    value = 0;
    for (char c : portText) {
      if (c < '0' || c > '9')
        return false;
      value = value * 10 + (c - '0');
    }
  }
  if (value < 1 || value > 65535)
    return false;
  host = std::string(name);
  port = static_cast<int>(value);
  return true;
}

QueryResult queryHostStatus(const StatusChannel& channel, Milliseconds replyDeadline)
{
  QueryResult result;
  auto deadline = Clock::now() + replyDeadline;
  if (!channel.send(channel.context, kHostStatusQuery.data(), kHostStatusQuery.size())) {
    result.error = "the status query could not be sent";
    return result;
  }
  char buffer[256];
  for (;;) {
    if (hostStatusComplete(result.reply) || result.reply.size() >= kReplyLimit) {
      result.outcome = QueryOutcome::answered;
      return result;
    }
    auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      result.outcome = QueryOutcome::silent;
      result.error = result.reply.empty() ? "no reply" : "the reply is incomplete";
      return result;
    }
    std::size_t room = std::min(sizeof buffer, kReplyLimit - result.reply.size());
    long n = channel.receive(channel.context, buffer, room, left);
    if (n < 0) {
      result.outcome = QueryOutcome::closed;
      result.error = "the printer closed the connection before replying";
      return result;
    }
    if (n == 0) {
      // A channel whose reads do not wait must not make this loop spin.
      std::this_thread::sleep_for(std::min(left, Milliseconds(20)));
      continue;
    }
    result.reply.append(buffer, static_cast<std::size_t>(n));
  }
}

QueryResult queryHostStatus(const std::string& host, int port, Milliseconds connectTimeout,
                            Milliseconds replyDeadline)
{
  QueryResult result;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* addresses = nullptr;
  std::string service = std::to_string(port);
  if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses); rc != 0) {
    result.error = "cannot look up " + host + ": " + gai_strerror(rc);
    return result;
  }

  // The addresses share one connect timeout, however many the name has.
  int fd = -1;
  auto connectDeadline = Clock::now() + connectTimeout;
  for (addrinfo* a = addresses; a != nullptr && fd < 0 && Clock::now() < connectDeadline; a = a->ai_next)
    fd = connectBy(*a, connectDeadline, result.error);
  freeaddrinfo(addresses);
  if (fd < 0) {
    result.error = "cannot connect to " + host + ":" + service + ": " +
                   (result.error.empty() ? "connection timed out" : result.error);
    return result;
  }

  SocketChannel socketChannel{fd, Clock::now() + replyDeadline};
  StatusChannel channel{&socketChannel, sendSocket, receiveSocket};
  result = queryHostStatus(channel, replyDeadline);
  ::close(fd);
  return result;
}

}  // namespace app
