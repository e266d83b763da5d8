// fakeprinter.h: a network label printer for tests.  It listens on 127.0.0.1 on a free
// port, takes any number of connections (one after another or at once), records every byte
// each one sends, and answers every ~HS with a reply the test sets.  It can also stay
// silent, answer slowly, stop reading (a stalled printer whose buffers fill), and drop a
// connection after a number of bytes.  Every wait it offers is bounded.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace apptest {

class FakePrinter {
 public:
  using Clock = std::chrono::steady_clock;
  using Milliseconds = std::chrono::milliseconds;

  // One connection as the printer saw it.
  struct Connection {
    std::string received;     // every byte it sent, in order
    bool open = true;         // false once either side closed it
    bool droppedByPrinter = false;
  };

  // Everything recorded, as the wait predicates see it.
  struct Record {
    std::vector<Connection> connections;  // in the order they were accepted
    std::size_t queries = 0;              // ~HS seen, on every connection
    std::size_t replies = 0;              // replies sent whole
  };

  FakePrinter()
  {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // A receive buffer of a fixed, printer-like size, inherited by every connection: the
    // kernel would otherwise grow it to megabytes while the printer reads, and a printer that
    // then stops reading would still take most of a job before the sender blocks.
    int buffer = 64 * 1024;
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || pipe2(wake_, O_CLOEXEC) != 0)
      throw std::runtime_error("the fake printer cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }

  ~FakePrinter()
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake();
    thread_.join();
    for (Live& l : live_) {
      if (l.fd >= 0)
        ::close(l.fd);
    }
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }

  FakePrinter(const FakePrinter&) = delete;
  FakePrinter& operator=(const FakePrinter&) = delete;

  int port() const { return port_; }
  std::string uri() const { return "socket://127.0.0.1:" + std::to_string(port_); }

  // What each ~HS gets from now on (bytes as they go on the wire).
  void setReply(std::string reply) { set([&] { reply_ = std::move(reply); }); }
  // Silent: a ~HS gets no answer at all (the connection stays open).
  void setSilent(bool silent) { set([&] { silent_ = silent; }); }
  // Slow: the answer starts `before` after the query and then comes one byte every `perByte`.
  void setReplyDelay(Milliseconds before, Milliseconds perByte = Milliseconds(0))
  {
    set([&] { before_ = before; perByte_ = perByte; });
  }
  // Each connection is closed by the printer once it has sent `bytes` bytes (nullopt: never).
  void setDropAfter(std::optional<std::size_t> bytes) { set([&] { dropAfter_ = bytes; }); }
  // A printer that stops reading: what is sent piles up in the socket buffers, then blocks.
  void setReading(bool reading) { set([&] { reading_ = reading; }); }
  // A printer that stops reading once a connection has sent it `bytes` (nullopt: no limit).
  void setReadLimit(std::optional<std::size_t> bytes) { set([&] { readLimit_ = bytes; }); }

  Record record() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
  }
  std::size_t queries() const { return record().queries; }
  // Every byte received, connection after connection.
  std::string received() const
  {
    std::string all;
    for (const Connection& c : record().connections)
      all += c.received;
    return all;
  }

  // Waits until `done(record)` holds, at most `timeout`; returns whether it held.
  bool waitUntil(const std::function<bool(const Record&)>& done, Milliseconds timeout) const
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(record_); });
  }

 private:
  struct Pending {
    Clock::time_point when;
    std::string bytes;
  };
  // A connection's socket and what is still to be sent on it; `index` is its Record entry.
  struct Live {
    int fd;
    std::size_t index;
    std::deque<Pending> out;
    std::size_t scanned = 0;  // bytes already searched for ~HS
  };

  template <class Change>
  void set(Change change)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    wake();
  }

  void wake()
  {
    char c = 0;
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
  }

  void closeLive(Live& l, bool byPrinter)
  {
    ::close(l.fd);
    l.fd = -1;
    record_.connections[l.index].open = false;
    record_.connections[l.index].droppedByPrinter = byPrinter;
  }

  // Answers each ~HS that arrived since the last look.
  void scanQueries(Live& l, Clock::time_point now)
  {
    const std::string& got = record_.connections[l.index].received;
    for (std::size_t at; (at = got.find("~HS", l.scanned)) != std::string::npos;) {
      l.scanned = at + 3;
      record_.queries++;
      if (silent_ || reply_.empty())
        continue;
      if (perByte_.count() == 0) {
        l.out.push_back({now + before_, reply_});
      } else {
        for (std::size_t i = 0; i < reply_.size(); i++)
          l.out.push_back({now + before_ + perByte_ * static_cast<int>(i), reply_.substr(i, 1)});
      }
      l.out.push_back({l.out.back().when, std::string()});  // the reply's end, for the count
    }
    if (got.size() >= 2)
      l.scanned = std::max(l.scanned, got.size() - 2);
  }

  void run()
  {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      // What to wait for: new connections, data from open ones, the next reply byte due.
      std::vector<pollfd> fds = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      Clock::time_point next = Clock::now() + Milliseconds(200);
      for (Live& l : live_) {
        if (l.fd < 0)
          continue;
        bool full = readLimit_ && record_.connections[l.index].received.size() >= *readLimit_;
        short events = reading_ && !full ? POLLIN : 0;
        if (!l.out.empty()) {
          next = std::min(next, l.out.front().when);
          if (l.out.front().when <= Clock::now())
            events |= POLLOUT;
        }
        // A connection not read and with nothing to send is left out (poll skips a negative
        // descriptor), so that a hang-up on it does not wake the loop over and over.
        fds.push_back({events != 0 ? l.fd : -1, events, 0});
      }
      int wait = static_cast<int>(std::max<long>(
          0, std::chrono::duration_cast<Milliseconds>(next - Clock::now()).count() + 1));
      lock.unlock();
      ::poll(fds.data(), fds.size(), wait);
      lock.lock();

      if (fds[1].revents & POLLIN) {
        char drain[64];
        [[maybe_unused]] ssize_t n = ::read(wake_[0], drain, sizeof drain);
      }
      if (fds[0].revents & POLLIN) {
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
          record_.connections.push_back({});
          live_.push_back({fd, record_.connections.size() - 1, {}, 0});
          if (dropAfter_ && *dropAfter_ == 0)
            closeLive(live_.back(), true);
        }
      }
      auto now = Clock::now();
      for (std::size_t i = 2; i < fds.size(); i++) {
        Live* l = nullptr;
        for (Live& candidate : live_) {
          if (candidate.fd == fds[i].fd)
            l = &candidate;
        }
        if (l == nullptr)
          continue;
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
          readFrom(*l, now);
        if (l->fd >= 0 && (fds[i].revents & POLLOUT))
          writeTo(*l, now);
      }
      std::erase_if(live_, [](const Live& l) { return l.fd < 0; });
      changed_.notify_all();
    }
  }

  void readFrom(Live& l, Clock::time_point now)
  {
    Connection& c = record_.connections[l.index];
    char buffer[65536];
    std::size_t room = sizeof buffer;
    if (dropAfter_)
      room = std::min(room, *dropAfter_ - std::min(*dropAfter_, c.received.size()));
    if (readLimit_) {
      if (c.received.size() >= *readLimit_)
        return;  // not reading: a hang-up is seen once it reads again
      room = std::min(room, *readLimit_ - c.received.size());
    }
    ssize_t n = room > 0 ? ::recv(l.fd, buffer, room, 0) : 0;
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
      return;
    if (n <= 0 && room > 0) {
      closeLive(l, false);
      return;
    }
    if (n > 0) {
      c.received.append(buffer, static_cast<std::size_t>(n));
      scanQueries(l, now);
    }
    if (dropAfter_ && c.received.size() >= *dropAfter_)
      closeLive(l, true);
  }

  void writeTo(Live& l, Clock::time_point now)
  {
    while (!l.out.empty() && l.out.front().when <= now) {
      Pending& p = l.out.front();
      if (p.bytes.empty()) {  // the end of a reply
        record_.replies++;
        l.out.pop_front();
        continue;
      }
      ssize_t n = ::send(l.fd, p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EAGAIN)
        return;
      if (n <= 0) {
        closeLive(l, false);
        return;
      }
      p.bytes.erase(0, static_cast<std::size_t>(n));
      if (!p.bytes.empty())
        return;
      l.out.pop_front();
    }
  }

  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stop_ = false;
  std::string reply_;
  bool silent_ = false;
  Milliseconds before_{0};
  Milliseconds perByte_{0};
  std::optional<std::size_t> dropAfter_;
  bool reading_ = true;
  std::optional<std::size_t> readLimit_;
  Record record_;
  std::vector<Live> live_;
};

}  // namespace apptest
