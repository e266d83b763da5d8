// silvane.h: the DPL filter program: the job's settings from the PPD, and its run.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "dpl.h"

#include <cups/ppd.h>

// Reads the PPD (environment variable PPD) and the job's option string into `settings`.
// Returns false, after an "ERROR: " line, when the PPD cannot be read.
bool initializeSettings(char* commandLineOptionSettings, dpl::settings_* settings);

// Display text of the chosen choice of option `choiceName`, or null.
const char* getOptionChoiceString(const char* choiceName, ppd_file_t* ppd);

// The number in the last three characters of the chosen choice's keyword (the whole keyword
// when it is shorter), or -1 when the option has no usable choice.
int getOptionChoiceValue(const char* choiceName, ppd_file_t* ppd);

// The filter's whole run: arguments, input, settings, pages.  Returns the exit status.
int silvaneMain(int argc, char** argv);
