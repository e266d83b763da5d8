// probe.cpp: helpers of the host probe: text search and the zero-byte run.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "probe.h"

#include "command.h"

#include <cstring>

bool textContains(const char* text, const char* word)
{
  return std::strstr(text, word) != nullptr;
}

void writeZeroRun()
{
  static constexpr unsigned char zeros[512] = {};
  outputBytes(zeros, sizeof zeros);
}
