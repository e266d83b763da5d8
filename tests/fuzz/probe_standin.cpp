// probe_standin.cpp: the host probe's shell runner for fuzz targets: no shell, no output.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "probe.h"

int SystemRtn(const char* /*Cmd*/, char* pbyRtnStr, std::size_t nRtnSize)
{
  if (nRtnSize > 0)
    pbyRtnStr[0] = '\0';
  return 0;
}
