// filter.cpp: torvane, the CUPS raster to ZPL II filter: PPD settings and the raster loop.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "torvane.h"

#include "choices.h"
#include "job.h"
#include "probe.h"

#include <cstdio>

bool initializeSettings(char* commandLineOptionSettings, zpl::settings_* settings)
{
  PpdPtr ppd = openJobPpd(commandLineOptionSettings);
  if (!ppd)
    return false;

  *settings = {};
  settings->printposition = getOptionChoiceIndex("PrintPosition", ppd.get());
  settings->tearoffposition = getOptionChoiceIndex("TearoffPosition", ppd.get());
  settings->pagetype = getOptionChoiceIndex("PageType", ppd.get());
  settings->printtype = getOptionChoiceIndex("MediaType", ppd.get());
  settings->imagecontrol = getOptionChoiceIndex("ImageControl", ppd.get());
  settings->mirror = getOptionChoiceIndex("PrintMirror", ppd.get());
  settings->inverse = getOptionChoiceIndex("Inverse", ppd.get());
  settings->printspeed = getOptionChoiceIndex("PrintSpeed", ppd.get());
  settings->pause = getOptionChoiceIndex("Pause", ppd.get());
  settings->density = getOptionChoiceIndex("Darkness", ppd.get());
  settings->outpagemode = getOptionChoiceIndex("OutMode", ppd.get());
  settings->graphicencoding = getOptionChoiceIndex("GraphicEncoding", ppd.get());

  const zpl::settings_& s = *settings;
  std::fprintf(stderr,
               "DEBUG: torvane settings: MediaType=%d PageType=%d ImageControl=%d OutMode=%d "
               "Darkness=%d PrintPosition=%d TearoffPosition=%d PrintMirror=%d Inverse=%d "
               "PrintSpeed=%d Pause=%d GraphicEncoding=%d\n",
               s.printtype, s.pagetype, s.imagecontrol, s.outpagemode, s.density,
               s.printposition, s.tearoffposition, s.mirror, s.inverse, s.printspeed, s.pause,
               s.graphicencoding);
  return true;
}

int torvaneMain(int argc, char** argv)
{
  static const FilterRun run = {"torvane", zplHostNeedsZeroRun, false};
  return runFilter<zpl::Job>(argc, argv, run, initializeSettings);
}
