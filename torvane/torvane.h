// torvane.h: the ZPL II filter program: the job's settings from the PPD, and its run.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "zpl.h"

// Reads the PPD (environment variable PPD) and the job's option string into `settings`.
// Returns false, after an "ERROR: " line, when the PPD cannot be read.
bool initializeSettings(char* commandLineOptionSettings, zpl::settings_* settings);

// The filter's whole run: arguments, input, settings, pages.  Returns the exit status.
int torvaneMain(int argc, char** argv);
