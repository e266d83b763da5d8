// main.cpp: entry point of silvane, the CUPS raster to DPL filter.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "silvane.h"
#include "version.h"

int main(int argc, char** argv)
{
  if (int status = answerVersion(argc, argv, "silvane"); status >= 0) return status;
  return silvaneMain(argc, argv);
}
