// main.cpp: entry point of torvane, the CUPS raster to ZPL II filter.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "torvane.h"
#include "version.h"

int main(int argc, char** argv)
{
  if (int status = answerVersion(argc, argv, "torvane"); status >= 0) return status;
  return torvaneMain(argc, argv);
}
