// runjob.cpp: runs one filter job and reports what it cost, for bench/compare.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Usage: runjob INPUT OUTPUT ERRORS PROGRAM [ARG...]
//
// Runs PROGRAM with standard input, output and error on the three files and prints one line:
// user and system CPU in microseconds, wall time in microseconds, peak resident memory in
// kilobytes and the exit status.  The CPU and memory are the job's own plus those of the
// children it waited for (the host probe's shells), as wait4 reports them.
//
// A launcher of its own, rather than the Python that drives the runs: on Linux a process's
// peak resident memory starts from that of the process it was forked from, and this one is
// far smaller than any filter.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long microseconds(const timeval& t)
{
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
}

long long nowMicroseconds()
{
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Opens `path` on descriptor `target` in the child; false after a message on failure.
bool redirect(const char* path, int flags, int target)
{
  int fd = open(path, flags, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "runjob: %s: %s\n", path, std::strerror(errno));
    return false;
  }
  if (fd != target) {
    dup2(fd, target);
    close(fd);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc < 5) {
    std::fputs("usage: runjob INPUT OUTPUT ERRORS PROGRAM [ARG...]\n", stderr);
    return 2;
  }

  long long start = nowMicroseconds();
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("runjob: fork");
    return 2;
  }
  if (pid == 0) {
    if (!redirect(argv[1], O_RDONLY, 0) || !redirect(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 1) ||
        !redirect(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 2))
      _exit(127);
    execvp(argv[4], argv + 4);
    std::fprintf(stderr, "runjob: %s: %s\n", argv[4], std::strerror(errno));
    _exit(127);
  }

  int status = 0;
  rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("runjob: wait4");
      return 2;
    }
  }
  long long wall = nowMicroseconds() - start;

  int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("%lld %lld %lld %ld %d\n", microseconds(usage.ru_utime),
              microseconds(usage.ru_stime), wall, usage.ru_maxrss, exitStatus);
  return 0;
}
