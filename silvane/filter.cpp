// filter.cpp: silvane, the CUPS raster to DPL filter: PPD settings and the raster loop.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "silvane.h"

#include "choices.h"
#include "job.h"
#include "probe.h"

#include <cstdio>
#include <cstring>

const char* getOptionChoiceString(const char* choiceName, ppd_file_t* ppd)
{
  ppd_choice_t* choice = findChosenChoice(choiceName, ppd);
  return choice != nullptr ? choice->text : nullptr;
}

int getOptionChoiceValue(const char* choiceName, ppd_file_t* ppd)
{
  ppd_choice_t* choice = findChosenChoice(choiceName, ppd);
  if (choice == nullptr)
    return -1;

  // A keyword such as 4abc015 carries the position in its last three characters; a shorter
  // keyword is read whole.
  std::size_t length = std::strlen(choice->choice);
  return leadingNumber(choice->choice + (length > 3 ? length - 3 : 0));
}

bool initializeSettings(char* commandLineOptionSettings, dpl::settings_* settings)
{
  PpdPtr ppd = openJobPpd(commandLineOptionSettings);
  if (!ppd)
    return false;

  *settings = {};
  settings->printtype = getOptionChoiceIndex("PrintType", ppd.get());
  settings->pagetype = getOptionChoiceIndex("PageType", ppd.get());
  settings->outpagemode = getOptionChoiceIndex("OutMode", ppd.get());
  settings->imagecontrol = getOptionChoiceIndex("ImageControl", ppd.get());
  settings->density = getOptionChoiceIndex("Darkness", ppd.get());
  settings->printposition = getOptionChoiceIndex("PrintPosition", ppd.get());
  settings->outpaperposition = getOptionChoiceIndex("OutPaperPosition", ppd.get());

  // The text is copied: the PPD is closed when this function returns.
  if (const char* text = getOptionChoiceString("OutPaperPosition", ppd.get()))
    settings->ourpaperstring = text;
  if (settings->outpagemode > 3)
    settings->ioutposition = getOptionChoiceValue("OutMode", ppd.get());

  const dpl::settings_& s = *settings;
  std::fprintf(stderr,
               "DEBUG: silvane settings: PrintType=%d PageType=%d OutMode=%d ImageControl=%d "
               "Darkness=%d PrintPosition=%d OutPaperPosition=%d (\"%s\") stop=%d\n",
               s.printtype, s.pagetype, s.outpagemode, s.imagecontrol, s.density,
               s.printposition, s.outpaperposition,
               s.ourpaperstring ? s.ourpaperstring->c_str() : "", s.ioutposition);
  return true;
}

int silvaneMain(int argc, char** argv)
{
  static const FilterRun run = {"silvane", dplHostNeedsZeroRun, true};
  return runFilter<dpl::Job>(argc, argv, run, initializeSettings);
}
