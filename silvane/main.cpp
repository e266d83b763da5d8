// main.cpp: entry point of silvane, the CUPS raster to DPL filter.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "silvane.h"

int main(int argc, char** argv)
{
  return silvaneMain(argc, argv);
}
