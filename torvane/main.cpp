// main.cpp: entry point of torvane, the CUPS raster to ZPL II filter.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "torvane.h"

int main(int argc, char** argv)
{
  return torvaneMain(argc, argv);
}
