// statefile.cpp: replacing a file whole.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "statefile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace app {

namespace {

// Flushes a file's data, or a directory's entries, to the disk; the errno text on failure.
std::string syncToDisk(const std::string& path, int flags)
{
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0)
    return std::strerror(errno);
  std::string error = fsync(fd) == 0 ? "" : std::strerror(errno);
  close(fd);
  return error;
}

}  // namespace

std::string pendingName(const std::string& path)
{
  return path + ".new";
}

std::string replaceWithPending(const std::string& path, std::string* warning)
{
  std::string next = pendingName(path);
  std::string error = syncToDisk(next, O_RDONLY);
  if (error.empty() && std::rename(next.c_str(), path.c_str()) != 0)
    error = std::strerror(errno);
  if (!error.empty()) {
    std::remove(next.c_str());
    return error;
  }
  std::size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string flushed = syncToDisk(directory, O_RDONLY | O_DIRECTORY);
  if (!flushed.empty() && warning != nullptr)
    *warning = "Unable to flush \"" + directory + "\" to the disk: " + flushed;
  return "";
}

}  // namespace app
