// fake_renderer.cpp: a renderer that misbehaves on purpose, for the client's tests.  It is run
// through a link named fake-MODE and takes the real renderer's arguments
// (FORMAT DPI WIDTH HEIGHT FIRST LAST [FILE]); MODE says what it does instead of drawing.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "renderstream.h"

#include <dirent.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <unistd.h>
#include <vector>

using namespace app;

namespace {

void put(const std::string& bytes)
{
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n <= 0)
      std::exit(9);
    done += static_cast<std::size_t>(n);
  }
}

std::string words(std::initializer_list<std::uint32_t> values)
{
  std::string out;
  for (std::uint32_t value : values) {
    unsigned char bytes[4];
    putWord(bytes, value);
    out.append(reinterpret_cast<char*>(bytes), 4);
  }
  return out;
}

std::string start()
{
  return words({kStreamMagic, kStreamVersion});
}

std::string done(StreamOutcome outcome, const std::string& text)
{
  return words({kDoneTag, static_cast<std::uint32_t>(outcome),
                static_cast<std::uint32_t>(text.size())}) + text;
}

// What the renderer was started with, as it sees it: its open descriptors, its limits, its
// process group and the signal it gets when its parent dies.
std::string report()
{
  std::string fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    int own = dirfd(dir);
    std::vector<int> open;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own)
        open.push_back(std::atoi(entry->d_name));
    }
    closedir(dir);
    std::sort(open.begin(), open.end());
    for (int fd : open)
      fds += (fds.empty() ? "" : ",") + std::to_string(fd);
  }
  rlimit as, cpu, core;
  getrlimit(RLIMIT_AS, &as);
  getrlimit(RLIMIT_CPU, &cpu);
  getrlimit(RLIMIT_CORE, &core);
  int deathSignal = 0;
  prctl(PR_GET_PDEATHSIG, &deathSignal);
  return "fds=" + fds + " as=" + std::to_string(as.rlim_cur) + " cpu=" + std::to_string(cpu.rlim_cur) +
         " core=" + std::to_string(core.rlim_cur) +
         " group=" + (getpgrp() == getpid() ? "own" : "shared") +
         " death=" + std::to_string(deathSignal);
}

}  // namespace

int main(int argc, char** argv)
{
  std::string name = argv[0];
  std::string mode = name.substr(name.rfind("fake-") + 5);
  if (argc < 7)
    return 2;
  std::uint32_t width = static_cast<std::uint32_t>(std::atol(argv[3]));
  std::uint32_t height = static_cast<std::uint32_t>(std::atol(argv[4]));
  std::uint32_t bytesPerLine = (width + 7) / 8;
  std::string document = words({kDocumentTag, 1, 1, 1});
  std::string page = words({kPageTag, 1, width, height, bytesPerLine});
  std::string rows(static_cast<std::size_t>(bytesPerLine) * height, '\0');

  if (mode == "report") {
    put(start() + document + done(StreamOutcome::failed, report()));
  } else if (mode == "garbage") {
    put("%PDF-1.7 this is not a page stream at all");
  } else if (mode == "version") {
    put(words({kStreamMagic, kStreamVersion + 1}) + document);
  } else if (mode == "hugepage") {
    put(start() + document + words({kPageTag, 1, 100000, 100000, 12500}));
    pause();
  } else if (mode == "order") {
    put(start() + words({kDocumentTag, 3, 1, 3, kPageTag, 2, width, height, bytesPerLine}) + rows);
  } else if (mode == "cutpage") {
    put(start() + document + page + rows.substr(0, rows.size() / 2));
  } else if (mode == "longtext") {
    put(start() + document + words({kDoneTag, 1, 0xFFFFFFF0u}));
    pause();
  } else if (mode == "early") {
    put(start() + words({kDocumentTag, 2, 1, 2}) + page + rows + done(StreamOutcome::done, ""));
  } else if (mode == "manylabels") {
    std::string labels;
    for (int i = 0; i < 17; i++)
      labels += page + rows;
    put(start() + words({kDocumentTag, 2, 1, 2}) + labels);
    pause();
  } else if (mode == "latenote") {
    put(start() + words({kDocumentTag, 2, 1, 2}) + page + rows + words({kNoteTag, 1, 2}) + "Hi");
    pause();
  } else if (mode == "skippage") {
    put(start() + words({kDocumentTag, 3, 1, 3}) + page + rows +
        words({kPageTag, 3, width, height, bytesPerLine}) + rows);
    pause();
  } else if (mode == "twoup") {
    std::string note = "Cropped 2 labels\x7F 90°\xC0";  // control and stray bytes are not passed on
    put(start() + words({kDocumentTag, 2, 1, 2}) +
        words({kNoteTag, 1, static_cast<std::uint32_t>(note.size())}) + note + page + rows + page +
        rows + words({kPageTag, 2, width, height, bytesPerLine}) + rows + done(StreamOutcome::done, ""));
  } else if (mode == "segv") {
    put(start() + document);
    raise(SIGSEGV);
  } else if (mode == "memoryexit") {
    put(start() + document);
    return kExitNoMemory;
  } else if (mode == "hang") {
    put(start() + document);
    pause();
  } else if (mode == "linger") {
    // The whole stream, then quiet but alive.
    put(start() + document + page + rows + done(StreamOutcome::done, ""));
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    pause();
  }
  return 0;
}
