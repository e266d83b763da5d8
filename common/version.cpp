// version.cpp: the --version option of every program.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "version.h"

#include <cstdio>
#include <cstring>

const char* labelfiltersVersion()
{
  return LABELFILTERS_VERSION;
}

int answerVersion(int argc, char** argv, const char* program)
{
  // A filter run by CUPS always has five or six arguments, so a lone --version is never a job.
  if (argc != 2 || std::strcmp(argv[1], "--version") != 0)
    return -1;
  std::printf("%s %s\n", program, LABELFILTERS_VERSION);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
