// renderclient.cpp: the renderer started under limits, its stream read and checked.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "renderclient.h"

#include <functional>
#include <cstdint>
#include <optional>
#include <span>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace app {

const char* defaultRendererPath()
{
  return LABEL_RENDER_PATH;
}

namespace {

using Clock = std::chrono::steady_clock;

// How long a renderer that has sent its last record may take to exit before it is killed.
constexpr auto kExitGrace = std::chrono::seconds(2);
// The most of the renderer's standard error kept for the log.
constexpr std::size_t kLogLimit = 4096;
// What the renderer's libraries write when memory runs out: our allocator's line, Poppler's
// allocator (before it aborts), Poppler's check of an absurd size, and libstdc++ when a
// std::bad_alloc escapes.
constexpr std::string_view kMemoryWords[] = {kOutOfMemoryLine, "Out of memory",
                                             "Bogus memory allocation size", "std::bad_alloc"};

// A descriptor, closed when its owner goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1)
  {
    if (fd_ >= 0)
      close(fd_);
    fd_ = fd;
  }
  // Gives the descriptor up without closing it.
  int release()
  {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// The renderer's process: killed (with its group) and waited for when its owner goes, so no
// way out of renderDocument leaves it running or a zombie.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() { end(true); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits for the renderer, killing it first when `kill` is set or when it has not exited
  // yet.  A renderer that is already exiting keeps its own status: SIGKILL does not reach a
  // process in its exit.
  void end(bool kill)
  {
    if (pid_ <= 0)
      return;
    if (!kill && wait4(pid_, &status_, WNOHANG, &usage_) == pid_) {
      pid_ = 0;
      return;
    }
    killedByUs_ = true;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    pid_t got;
    while ((got = wait4(pid_, &status_, 0, &usage_)) < 0 && errno == EINTR) {
    }
    if (got != pid_)
      status_ = -1;  // reaped by someone else (SIGCHLD ignored): nothing known
    pid_ = 0;
  }

  int status() const { return status_; }
  bool killedByUs() const { return killedByUs_; }
  const rusage& usage() const { return usage_; }

 private:
  pid_t pid_;
  int status_ = -1;
  bool killedByUs_ = false;
  rusage usage_ = {};
};

// What waiting for the renderer's bytes came to.
enum class Wait { ready, end, canceled, late, noMemory };

// The parent's side of the two pipes: the stream with its read buffer, and the end of the
// renderer's standard error.
struct Session {
  int stream = -1, errors = -1;  // -1 once at their end
  std::vector<unsigned char> buffer = std::vector<unsigned char>(65536);
  std::size_t start = 0, end = 0;  // unread bytes of `buffer`
  std::string log;
  bool noMemory = false;          // the renderer said memory ran out
  Clock::time_point deadline;
  const std::function<bool()>* canceled = nullptr;
};

// Reads what the renderer wrote on standard error, keeping the end of it; notes a report of
// memory running out.
void readErrors(Session& session)
{
  char chunk[4096];
  ssize_t n = read(session.errors, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN))
    return;
  if (n <= 0) {
    session.errors = -1;
    return;
  }
  // Kept with some text before it, so that a report split over two reads is still found.
  session.log.append(chunk, static_cast<std::size_t>(n));
  for (std::string_view words : kMemoryWords) {
    if (session.log.find(words) != std::string::npos)
      session.noMemory = true;
  }
  if (session.log.size() > 2 * kLogLimit)
    session.log.erase(0, session.log.size() - kLogLimit);
}

// Reads whatever the renderer has already written on standard error, without waiting: before
// its last record is acted on, everything it said until then.
void drainErrors(Session& session)
{
  while (session.errors >= 0) {
    pollfd ready = {session.errors, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0)
      return;
    readErrors(session);
  }
}

// Waits until the stream has bytes to read, or something ends the wait.  The cancel callback
// is asked at every wake-up, and wake-ups come at least every 100 ms.  Once the renderer has
// said that memory ran out, it sends nothing drawn after that: what it wrote before is still
// read, then the wait ends.
Wait waitForStream(Session& session)
{
  for (;;) {
    if (session.noMemory) {
      pollfd ready = {session.stream, POLLIN, 0};
      return poll(&ready, 1, 0) > 0 ? Wait::ready : Wait::noMemory;
    }
    if (*session.canceled && (*session.canceled)())
      return Wait::canceled;
    auto now = Clock::now();
    if (now >= session.deadline)
      return Wait::late;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(session.deadline - now);
    int timeout = static_cast<int>(std::clamp<long long>(left.count() + 1, 1, 100));
    pollfd fds[2] = {{session.stream, POLLIN, 0}, {session.errors, POLLIN, 0}};
    int n = poll(fds, 2, timeout);
    if (n < 0 && errno != EINTR)
      return Wait::end;
    if (n <= 0)
      continue;
    if (fds[1].revents != 0)
      readErrors(session);
    if (fds[0].revents != 0)
      return Wait::ready;
  }
}

// Fills `out` with the next `length` bytes of the stream.
Wait readStream(Session& session, unsigned char* out, std::size_t length)
{
  while (length > 0) {
    if (session.start < session.end) {
      std::size_t n = std::min(length, session.end - session.start);
      std::memcpy(out, session.buffer.data() + session.start, n);
      session.start += n;
      out += n;
      length -= n;
      continue;
    }
    Wait wait = waitForStream(session);
    if (wait != Wait::ready)
      return wait;
    // Large reads (a page's rows) go straight to their place.
    bool direct = length >= session.buffer.size();
    ssize_t n = read(session.stream, direct ? out : session.buffer.data(),
                     direct ? length : session.buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (n <= 0)
      return Wait::end;
    if (direct) {
      out += n;
      length -= static_cast<std::size_t>(n);
    } else {
      session.start = 0;
      session.end = static_cast<std::size_t>(n);
    }
  }
  return Wait::ready;
}

// Reads `count` numbers of the stream.
Wait readWords(Session& session, std::uint32_t* words, std::size_t count)
{
  unsigned char bytes[16];
  Wait wait = readStream(session, bytes, 4 * count);
  for (std::size_t i = 0; wait == Wait::ready && i < count; i++)
    words[i] = getWord(bytes + 4 * i);
  return wait;
}

// Printable text only, for job messages and logs.
std::string printable(std::string_view text, bool newlines)
{
  std::string out(text);
  for (char& c : out) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && !(newlines && c == '\n')) || byte >= 0x7F)
      c = '?';
  }
  return out;
}

// A note for a person: control characters and bytes that are not well-formed UTF-8 become '?'.
std::string printableNote(std::string_view text)
{
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : (byte & 0xE0) == 0xC0 ? 2 : (byte & 0xF0) == 0xE0 ? 3 : (byte & 0xF8) == 0xF0 ? 4 : 0;
    bool whole = length > 0 && i + length <= text.size() && !(length == 2 && byte < 0xC2);
    for (std::size_t k = 1; whole && k < length; k++)
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (!whole || (length == 1 && (byte < 0x20 || byte == 0x7F))) {
      out += '?';
      i++;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

// Everything the child does between fork and exec: only calls that are safe after a fork of
// a threaded process, nothing that allocates.
struct ChildSetup {
  const char* program;
  char* const* argv;
  int input, stream, errors;  // become descriptors 0, 1 and 2
  rlimit memory, cpu, core;
  pid_t parent;
  int maxFd;
};

[[noreturn]] void startRenderer(const ChildSetup& setup)
{
  // A group of its own, so that a kill takes everything it started; and dead with the server.
  setpgid(0, 0);
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != setup.parent)
    _exit(127);

  // The server's blocked and ignored signals are not the renderer's.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction plain = {};
  plain.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; sig++) {
    if (sig != SIGKILL && sig != SIGSTOP)
      sigaction(sig, &plain, nullptr);
  }

  // Descriptors 0, 1 and 2, moved out of the way first in case one already is 0, 1 or 2;
  // then nothing else stays open.
  int moved[3] = {fcntl(setup.input, F_DUPFD_CLOEXEC, 3), fcntl(setup.stream, F_DUPFD_CLOEXEC, 3),
                  fcntl(setup.errors, F_DUPFD_CLOEXEC, 3)};
  for (int fd = 0; fd < 3; fd++) {
    if (moved[fd] < 0 || dup2(moved[fd], fd) != fd)
      _exit(127);
  }
  if (close_range(3, ~0u, 0) != 0) {
    for (int fd = 3; fd <= setup.maxFd; fd++)
      close(fd);
  }

  if (setrlimit(RLIMIT_AS, &setup.memory) != 0 || setrlimit(RLIMIT_CPU, &setup.cpu) != 0 ||
      setrlimit(RLIMIT_CORE, &setup.core) != 0)
    _exit(127);
  execve(setup.program, setup.argv, environ);
  _exit(127);
}

// The words for where the renderer was: opening the document, or drawing a page.
struct Progress {
  DocumentFormat format;
  bool opened = false;  // the document's record has come
  int page = 0;         // the page being drawn, once opened
  unsigned labels = 0;  // labels of that page handed on so far
  bool noted = false;   // its note has come
};

// A record for page `number` moves on to the next page once the current one has made a label.
void moveOn(Progress& at, std::uint32_t number)
{
  if (at.labels > 0 && static_cast<long long>(number) == at.page + 1LL) {
    at.page++;
    at.labels = 0;
    at.noted = false;
  }
}

// The page the renderer was at: the one after a page that has made its labels.
int drawing(const Progress& at)
{
  return at.labels > 0 ? at.page + 1 : at.page;
}

std::string memoryReason(const Progress& at, const RendererOptions& options)
{
  std::string limit = std::to_string((options.memoryBytes + (1u << 19)) >> 20) + " MiB";
  return std::string("The ") + formatName(at.format) + " needs more than the " + limit +
         " allowed to " + (at.opened ? "draw page " + std::to_string(drawing(at)) : "be opened");
}

std::string wallReason(const Progress& at, const RendererOptions& options)
{
  std::string limit = std::to_string(options.pageSeconds) + " s";
  return at.opened ? "Page " + std::to_string(drawing(at)) + " took longer than " + limit + " to draw"
                   : std::string("The ") + formatName(at.format) + " took longer than " + limit +
                         " to open";
}

std::string cpuReason(const Progress& at, const RendererOptions& options)
{
  return "The job used up its " + std::to_string(options.cpuSeconds) +
         " s of processor time while " +
         (at.opened ? "drawing page " + std::to_string(drawing(at))
                    : std::string("opening the ") + formatName(at.format));
}

std::string crashReason(const Progress& at, const std::string& how)
{
  return "The renderer stopped unexpectedly (" + how + ") while " +
         (at.opened ? "drawing page " + std::to_string(drawing(at))
                    : std::string("opening the ") + formatName(at.format));
}

std::string badOutputReason(const Progress& at, const std::string& what)
{
  return "The renderer sent damaged data while " +
         (at.opened ? "drawing page " + std::to_string(drawing(at))
                    : std::string("opening the ") + formatName(at.format)) +
         " (" + what + ")";
}

// Why a renderer that ended without its last record ended, read from its exit status with
// what it said on standard error and the processor time it used: the status, and in `detail`
// the signal or exit status of a crash, or what was wrong with the output.
RenderStatus endStatus(const Child& child, const Session& session, const RendererOptions& options,
                       std::string& detail)
{
  int status = child.status();
  const rusage& usage = child.usage();
  double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (session.noMemory || (WIFEXITED(status) && WEXITSTATUS(status) == kExitNoMemory))
    return RenderStatus::noMemory;
  if (WIFSIGNALED(status) &&
      (WTERMSIG(status) == SIGXCPU || (WTERMSIG(status) == SIGKILL && cpu >= options.cpuSeconds)))
    return RenderStatus::tooSlow;
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && child.killedByUs()) {
    detail = "it stopped writing but did not exit";
    return RenderStatus::badOutput;
  }
  if (WIFSIGNALED(status)) {
    detail = "signal " + std::to_string(WTERMSIG(status));
    return RenderStatus::crashed;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
    return RenderStatus::notStarted;
  if (WIFEXITED(status) && WEXITSTATUS(status) != kExitDone) {
    detail = "exit status " + std::to_string(WEXITSTATUS(status));
    return RenderStatus::crashed;
  }
  detail = "it ended without finishing";
  return RenderStatus::badOutput;
}

void explainEnd(const Child& child, const Session& session, const Progress& at,
                const RendererOptions& options, RenderResult& result)
{
  std::string detail;
  result.status = endStatus(child, session, options, detail);
  switch (result.status) {
    case RenderStatus::noMemory: result.reason = memoryReason(at, options); break;
    case RenderStatus::tooSlow: result.reason = cpuReason(at, options); break;
    case RenderStatus::crashed: result.reason = crashReason(at, detail); break;
    case RenderStatus::notStarted: result.reason = "The renderer " + options.program + " cannot be started"; break;
    default: result.reason = badOutputReason(at, detail); break;
  }
}

// A request the renderer could not take, or limits that make no sense; empty when fine.
std::string checkRequest(const RenderRequest& request, const RendererOptions& options)
{
  if (request.path.empty() && request.fd < 0)
    return "The job has no document";
  if (request.width == 0 || request.height == 0 || request.width > kLabelSideLimit ||
      request.height > kLabelSideLimit)
    return "The label size " + std::to_string(request.width) + " x " +
           std::to_string(request.height) + " dots is not supported";
  if (request.dpi < 1 || request.dpi > kDpiLimit)
    return "The resolution of " + std::to_string(request.dpi) + " dpi is not supported";
  if (request.firstPage < 1 || request.lastPage < 1)
    return "The page range is not valid";
  if (options.memoryBytes < (std::size_t{16} << 20) || options.cpuSeconds < 1 ||
      options.pageSeconds < 1 || options.maxPages < 1)
    return "The renderer's limits are not valid";
  return {};
}

// The last record after its tag: the outcome in words[0], the text (within kStreamTextLimit,
// else `damage` says why), and the renderer's last complaints drained.
Wait readDone(Session& session, std::uint32_t* words, std::string& text, std::string& damage)
{
  Wait wait = readWords(session, words, 2);
  if (wait != Wait::ready)
    return wait;
  if (words[1] > kStreamTextLimit) {
    damage = "a message of " + std::to_string(words[1]) + " bytes";
    return Wait::ready;
  }
  text.assign(words[1], '\0');
  wait = readStream(session, reinterpret_cast<unsigned char*>(text.data()), text.size());
  if (wait == Wait::ready)
    drainErrors(session);
  return wait;
}

// Reads the stream from its start to its last record, handing pages on.  Returns true when
// the last record came and said every page was sent; otherwise `result` (or `wait`) says why.
bool readRecords(Session& session, const RenderRequest& request, const RendererOptions& options,
                 const RenderCallbacks& callbacks, Progress& at, Wait& wait, RenderResult& result)
{
  auto failWith = [&](RenderStatus status, std::string reason) {
    result.status = status;
    result.reason = std::move(reason);
    return false;
  };
  auto damaged = [&](const std::string& what) {
    return failWith(RenderStatus::badOutput, badOutputReason(at, what));
  };
  auto noMemory = [&] {
    wait = Wait::noMemory;
    return false;
  };

  std::uint32_t words[4];
  if ((wait = readWords(session, words, 2)) != Wait::ready)
    return false;
  if (words[0] != kStreamMagic || words[1] != kStreamVersion)
    return damaged("not a label-render stream of version " + std::to_string(kStreamVersion));

  int last = 0;
  LabelBitmap page;
  for (;;) {
    std::uint32_t tag;
    if ((wait = readWords(session, &tag, 1)) != Wait::ready)
      return false;
    if (tag == kDocumentTag) {
      if (at.opened)
        return damaged("a second document record");
      if ((wait = readWords(session, words, 3)) != Wait::ready)
        return false;
      // The renderer clamps the range to the document the same way as here.
      std::uint32_t pages = words[0];
      long long first = std::max(1, request.firstPage);
      long long expectedLast = std::min<long long>(pages, request.lastPage);
      if (pages > INT_MAX || words[1] != first || words[2] != std::max(expectedLast, 0LL))
        return damaged("a page range that is not the one asked for");
      result.documentPages = static_cast<int>(pages);
      at.opened = true;
      at.page = static_cast<int>(first);
      last = static_cast<int>(words[2]);
      if (last >= first && last - first + 1 > options.maxPages)
        return failWith(RenderStatus::tooManyPages,
                        "The job has more than " + std::to_string(options.maxPages) + " pages");
      if (callbacks.document && !callbacks.document(result.documentPages, at.page, last))
        return failWith(RenderStatus::stopped, "Printing stopped before the first page");
      session.deadline = Clock::now() + std::chrono::seconds(options.pageSeconds);
    } else if (tag == kNoteTag) {
      if (!at.opened)
        return damaged("a note before the document record");
      if ((wait = readWords(session, words, 2)) != Wait::ready)
        return false;
      moveOn(at, words[0]);
      if (static_cast<long long>(words[0]) != at.page || at.page > last || at.noted || at.labels > 0)
        return damaged("a note for page " + std::to_string(words[0]) + " out of order");
      if (words[1] > kStreamTextLimit)
        return damaged("a note of " + std::to_string(words[1]) + " bytes");
      std::string text(words[1], '\0');
      if ((wait = readStream(session, reinterpret_cast<unsigned char*>(text.data()), text.size())) !=
          Wait::ready)
        return false;
      at.noted = true;
      if (callbacks.note)
        callbacks.note(at.page, printableNote(text));
    } else if (tag == kPageTag) {
      if (!at.opened)
        return damaged("a page before the document record");
      if ((wait = readWords(session, words, 4)) != Wait::ready)
        return false;
      // Every page is the label's size (a ZPL label its own, within the limits): anything
      // else is refused before any buffer is sized.
      bool ownSize = request.format == DocumentFormat::zpl;
      unsigned width = ownSize ? words[1] : request.width;
      unsigned height = ownSize ? words[2] : request.height;
      unsigned bytesPerLine = (std::min(width, kLabelSideLimit) + 7) / 8;
      moveOn(at, words[0]);
      if (static_cast<long long>(words[0]) != at.page || at.page > last)
        return damaged("page " + std::to_string(words[0]) + " out of order");
      if (at.labels >= kLabelsPerPage)
        return damaged("more than " + std::to_string(kLabelsPerPage) + " labels from page " +
                       std::to_string(at.page));
      if (words[1] != width || words[2] != height || words[3] != bytesPerLine || width == 0 ||
          height == 0 || width > kLabelSideLimit || height > kLabelSideLimit ||
          (ownSize && std::uint64_t{bytesPerLine} * height > kZplLabelBytes))
        return damaged("a page of " + std::to_string(words[1]) + " x " + std::to_string(words[2]) +
                       " dots, " + std::to_string(words[3]) + " bytes a row");
      page.width = width;
      page.height = height;
      page.bytesPerLine = bytesPerLine;
      page.bits.resize(static_cast<std::size_t>(bytesPerLine) * height);
      if ((wait = readStream(session, page.bits.data(), page.bits.size())) != Wait::ready)
        return false;
      if (callbacks.page && !callbacks.page(at.page, page))
        return failWith(RenderStatus::stopped, "Printing stopped at page " + std::to_string(at.page));
      if (at.labels++ == 0)
        result.pagesDone++;
      result.labelsDone++;
      session.deadline = Clock::now() + std::chrono::seconds(options.pageSeconds);
    } else if (tag == kDoneTag) {
      std::string text, damage;
      if ((wait = readDone(session, words, text, damage)) != Wait::ready)
        return false;
      if (!damage.empty())
        return damaged(damage);
      auto outcome = static_cast<StreamOutcome>(words[0]);
      if (outcome == StreamOutcome::noMemory || (outcome == StreamOutcome::failed && session.noMemory))
        return noMemory();
      if (outcome == StreamOutcome::failed)
        return failWith(RenderStatus::failed,
                        text.empty() ? std::string("The ") + formatName(at.format) + " cannot be drawn"
                                     : printable(text, false));
      if (outcome != StreamOutcome::done)
        return damaged("an unknown outcome " + std::to_string(words[0]));
      if (!at.opened || (last >= at.page && (at.page < last || at.labels == 0)))
        return damaged("it finished before the last page");
      return true;
    } else {
      return damaged("an unknown record");
    }
  }
}

// A renderer started: its process, and the parent's ends of its two pipes.
struct Launched {
  std::optional<Child> child;
  Fd stream, errors;
};

// Starts the renderer with `args` (the program's name first) reading `input`, under the
// options' limits.  Empty when it started, else why it could not.
std::string launch(std::vector<std::string>& args, int input, const RendererOptions& options,
                   Launched& run)
{
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  int streamPipe[2], errorPipe[2];
  if (pipe2(streamPipe, O_CLOEXEC) != 0)
    return std::string("The renderer cannot be started: ") + std::strerror(errno);
  run.stream.reset(streamPipe[0]);
  Fd streamWrite(streamPipe[1]);
  if (pipe2(errorPipe, O_CLOEXEC) != 0)
    return std::string("The renderer cannot be started: ") + std::strerror(errno);
  run.errors.reset(errorPipe[0]);
  Fd errorWrite(errorPipe[1]);

  rlimit files = {};
  getrlimit(RLIMIT_NOFILE, &files);
  auto cpu = static_cast<rlim_t>(options.cpuSeconds);
  ChildSetup setup = {options.program.c_str(),
                      argv.data(),
                      input,
                      streamWrite.get(),
                      errorWrite.get(),
                      {options.memoryBytes, options.memoryBytes},
                      {cpu, cpu + 1},
                      {0, 0},
                      getpid(),
                      static_cast<int>(std::min<rlim_t>(files.rlim_cur, 65536))};
  pid_t pid = fork();
  if (pid == 0)
    startRenderer(setup);
  if (pid < 0)
    return std::string("The renderer cannot be started: ") + std::strerror(errno);
  run.child.emplace(pid);
  setpgid(pid, pid);  // also done by the child; whichever comes first
  return {};
}

// Ends the renderer: one that is done, or has stopped writing, gets a moment to exit and is
// then killed; any other is killed at once.  Either way it is waited for.  Returns the end of
// what it said on standard error, printable.
std::string endRenderer(Session& session, Child& child, bool finished, Wait wait)
{
  if (finished || wait == Wait::end) {
    session.deadline = Clock::now() + kExitGrace;
    std::function<bool()> never;
    session.canceled = &never;
    unsigned char rest[256];
    while (session.stream >= 0 && waitForStream(session) == Wait::ready) {
      ssize_t n = read(session.stream, rest, sizeof rest);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
        session.stream = -1;
    }
    child.end(false);
  } else {
    child.end(true);
  }
  drainErrors(session);  // all of it: the renderer is gone
  return printable(session.log.size() > kLogLimit ? session.log.substr(session.log.size() - kLogLimit)
                                                  : session.log,
                   true);
}

// Reads a preview's stream: its one record (the summary, or the label's PNG), then the last.
// True when both came and the renderer said it was done; otherwise `result` (or `wait`) says
// why.  Every length is checked before anything is sized by it.
bool readPreview(Session& session, const PreviewRequest& request, Wait& wait, PreviewResult& result)
{
  auto damaged = [&](const std::string& what) {
    result.status = RenderStatus::badOutput;
    result.reason = "the renderer sent damaged data (" + what + ")";
    return false;
  };
  std::uint32_t words[2];
  if ((wait = readWords(session, words, 2)) != Wait::ready)
    return false;
  if (words[0] != kStreamMagic || words[1] != kStreamVersion)
    return damaged("not a label-render stream of version " + std::to_string(kStreamVersion));
  bool got = false;
  for (;;) {
    std::uint32_t tag;
    if ((wait = readWords(session, &tag, 1)) != Wait::ready)
      return false;
    if ((tag == kSummaryTag && request.label == 0) || (tag == kPngTag && request.label > 0)) {
      if (got)
        return damaged("a second preview record");
      if ((wait = readWords(session, words, 1)) != Wait::ready)
        return false;
      std::size_t limit = tag == kSummaryTag ? kSummaryLimit : kPreviewPngLimit;
      if (words[0] > limit)
        return damaged("a record of " + std::to_string(words[0]) + " bytes");
      std::string bytes(words[0], '\0');
      if ((wait = readStream(session, reinterpret_cast<unsigned char*>(bytes.data()), bytes.size())) !=
          Wait::ready)
        return false;
      if (tag == kPngTag) {
        if (bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0)
          return damaged("a label that is not a PNG");
        result.png = std::move(bytes);
      } else {
        std::string error;
        auto data = reinterpret_cast<const unsigned char*>(bytes.data());
        if (!decodeSummary({data, bytes.size()}, result.summary, error))
          return damaged(error);
      }
      got = true;
    } else if (tag == kDoneTag) {
      std::string text, damage;
      if ((wait = readDone(session, words, text, damage)) != Wait::ready)
        return false;
      if (!damage.empty())
        return damaged(damage);
      auto outcome = static_cast<StreamOutcome>(words[0]);
      if (outcome == StreamOutcome::noMemory || (outcome == StreamOutcome::failed && session.noMemory)) {
        wait = Wait::noMemory;
        return false;
      }
      if (outcome == StreamOutcome::failed) {
        result.status = RenderStatus::failed;
        result.reason = text.empty() ? std::string("the job cannot be drawn") : printable(text, false);
        return false;
      }
      if (outcome != StreamOutcome::done)
        return damaged("an unknown outcome " + std::to_string(words[0]));
      if (!got)
        return damaged("it finished without the preview");
      return true;
    } else {
      return damaged("an unknown record");
    }
  }
}

// The kept job's bytes in a file of memory, read from its start: the renderer's input.
int memoryFile(std::span<const unsigned char> bytes, std::string& error)
{
  Fd file(memfd_create("kept-job", MFD_CLOEXEC));
  if (file.get() < 0) {
    error = std::string("the job cannot be handed to the renderer: ") + std::strerror(errno);
    return -1;
  }
  const unsigned char* at = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = write(file.get(), at, left);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      error = std::string("the job cannot be handed to the renderer: ") + std::strerror(errno);
      return -1;
    }
    at += n;
    left -= static_cast<std::size_t>(n);
  }
  if (lseek(file.get(), 0, SEEK_SET) != 0) {
    error = std::string("the job cannot be handed to the renderer: ") + std::strerror(errno);
    return -1;
  }
  int fd = file.get();
  file.release();
  return fd;
}

}  // namespace

RendererOptions previewOptions(const RendererOptions& printing)
{
  RendererOptions options = printing;
  options.memoryBytes = std::min(printing.memoryBytes, kPreviewMemory);
  options.cpuSeconds = std::min(printing.cpuSeconds, kPreviewSeconds);
  options.pageSeconds = std::min(printing.pageSeconds, kPreviewSeconds);
  options.maxPages = 1;
  return options;
}

RenderResult renderDocument(const RenderRequest& request, const RendererOptions& options,
                            const RenderCallbacks& callbacks)
{
  RenderResult result;
  if (std::string problem = checkRequest(request, options); !problem.empty()) {
    result.status = RenderStatus::notStarted;
    result.reason = problem;
    return result;
  }
  if (access(options.program.c_str(), X_OK) != 0) {
    result.status = RenderStatus::notStarted;
    result.reason = "The renderer " + options.program + " cannot be started: " + std::strerror(errno);
    return result;
  }

  // Everything the child needs is made before the fork.
  std::vector<std::string> args = {options.program};
  if (request.place.scaling != Scaling::automatic)
    args.push_back(std::string("--scaling=") + scalingName(request.place.scaling));
  if (request.place.orientation >= 3 && request.place.orientation <= 6)
    args.push_back("--orientation=" + std::to_string(request.place.orientation));
  if (request.place.autoTurn == 90)
    args.push_back("--auto-turn=90");
  if (!request.place.crop)
    args.push_back("--no-crop");
  args.insert(args.end(), {formatArgument(request.format),
                                   std::to_string(request.dpi),
                                   std::to_string(request.width),
                                   std::to_string(request.height),
                                   std::to_string(request.firstPage),
                                   std::to_string(request.lastPage)});
  if (!request.path.empty())
    args.push_back(request.path);

  Fd nothing(request.path.empty() ? -1 : open("/dev/null", O_RDONLY | O_CLOEXEC));
  int input = request.path.empty() ? request.fd : nothing.get();
  if (input < 0) {
    result.status = RenderStatus::notStarted;
    result.reason = std::string("The renderer cannot be started: ") + std::strerror(errno);
    return result;
  }
  Launched run;
  if (std::string problem = launch(args, input, options, run); !problem.empty()) {
    result.status = RenderStatus::notStarted;
    result.reason = problem;
    return result;
  }

  Session session;
  session.stream = run.stream.get();
  session.errors = run.errors.get();
  session.canceled = &callbacks.canceled;
  session.deadline = Clock::now() + std::chrono::seconds(options.pageSeconds);
  Progress at{request.format};
  Wait wait = Wait::ready;
  bool finished = readRecords(session, request, options, callbacks, at, wait, result);
  result.log = endRenderer(session, *run.child, finished, wait);

  if (finished) {
    result.status = RenderStatus::ok;
    result.reason.clear();
  } else if (wait == Wait::canceled) {
    result.status = RenderStatus::canceled;
    result.reason = "The job was canceled";
  } else if (wait == Wait::late) {
    result.status = RenderStatus::tooSlow;
    result.reason = wallReason(at, options);
  } else if (wait == Wait::noMemory) {
    result.status = RenderStatus::noMemory;
    result.reason = memoryReason(at, options);
  } else if (wait == Wait::end) {
    explainEnd(*run.child, session, at, options, result);
  }
  return result;
}

PreviewResult renderPreview(const PreviewRequest& request, const RendererOptions& options)
{
  PreviewResult result;
  auto refuse = [&](std::string reason) {
    result.status = RenderStatus::notStarted;
    result.reason = std::move(reason);
    return result;
  };
  if (request.dpi < 1 || request.dpi > kDpiLimit || request.mediaWidth > kLabelSideLimit ||
      request.mediaHeight > kLabelSideLimit || request.label < 0 || request.label > kPreviewLabels)
    return refuse("the request cannot be drawn");
  if (options.memoryBytes < (std::size_t{16} << 20) || options.cpuSeconds < 1 || options.pageSeconds < 1)
    return refuse("the renderer's limits are not valid");
  if (access(options.program.c_str(), X_OK) != 0)
    return refuse("the renderer " + options.program + " cannot be started (" + std::strerror(errno) + ")");
  std::string error;
  Fd input(memoryFile(request.bytes, error));
  if (input.get() < 0)
    return refuse(error);

  std::vector<std::string> args = {options.program, "preview", std::to_string(request.dpi),
                                   std::to_string(request.mediaWidth), std::to_string(request.mediaHeight),
                                   std::to_string(request.label)};
  Launched run;
  if (std::string problem = launch(args, input.get(), options, run); !problem.empty())
    return refuse(problem);
  input.reset();

  std::function<bool()> never;
  Session session;
  session.stream = run.stream.get();
  session.errors = run.errors.get();
  session.canceled = &never;
  session.deadline = Clock::now() + std::chrono::seconds(options.pageSeconds);
  Wait wait = Wait::ready;
  bool finished = readPreview(session, request, wait, result);
  result.log = endRenderer(session, *run.child, finished, wait);

  std::string limit = std::to_string((options.memoryBytes + (1u << 19)) >> 20) + " MiB";
  if (finished) {
    result.status = RenderStatus::ok;
    result.reason.clear();
  } else if (wait == Wait::late) {
    result.status = RenderStatus::tooSlow;
    result.reason = "it took longer than " + std::to_string(options.pageSeconds) + " s";
  } else if (wait == Wait::noMemory) {
    result.status = RenderStatus::noMemory;
    result.reason = "it needs more than the " + limit + " of memory allowed";
  } else if (wait == Wait::end) {
    std::string detail;
    result.status = endStatus(*run.child, session, options, detail);
    switch (result.status) {
      case RenderStatus::noMemory:
        result.reason = "it needs more than the " + limit + " of memory allowed";
        break;
      case RenderStatus::tooSlow:
        result.reason = "it used up its " + std::to_string(options.cpuSeconds) + " s of processor time";
        break;
      case RenderStatus::crashed: result.reason = "the renderer stopped unexpectedly (" + detail + ")"; break;
      case RenderStatus::notStarted: result.reason = "the renderer " + options.program + " cannot be started"; break;
      default: result.reason = "the renderer sent damaged data (" + detail + ")"; break;
    }
  }
  if (result.status != RenderStatus::ok) {
    result.summary = JobSummary();
    result.png.clear();
  }
  return result;
}

}  // namespace app
