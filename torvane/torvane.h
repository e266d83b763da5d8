// torvane.h: the ZPL II label filter's settings and printer commands.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cups/raster.h>

// Print settings of a job: each field is the number of the chosen PPD choice, -1 when the PPD
// lacks the option.
struct settings_ {
  int printtype;        // MediaType
  int pagetype;         // PageType
  int imagecontrol;     // ImageControl
  int outpagemode;      // OutMode
  int density;          // Darkness
  int printposition;    // PrintPosition
  int tearoffposition;  // TearoffPosition
  int mirror;           // PrintMirror
  int inverse;          // Inverse
  int printspeed;       // PrintSpeed
  int pause;            // Pause
};

// Reads the PPD (environment variable PPD) and the job's option string into `settings`.
// Returns false, after an "ERROR: " line, when the PPD cannot be read.
bool initializeSettings(char* commandLineOptionSettings, settings_* settings);

// Writes the job preamble: the host probe's zero-byte run where needed, then one format that
// sets up and saves the printer configuration.
void jobSetup(settings_ settings, int iResolution);

// Writes the two formats that print the downloaded graphic 000.GRF and delete it again.
void endPage(settings_ settings, int iPaperWidth, int iPaperHeight, int lWidth, int lHeight,
             int iResolution);

// Prints every page of the raster stream (null: none) and ends the job.  Returns the exit
// status.
int printPages(cups_raster_t* ras, settings_ settings);

// The filter's whole run: arguments, input, settings, pages.  Returns the exit status.
int torvaneMain(int argc, char** argv);
