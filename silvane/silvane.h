// silvane.h: the DPL label filter's settings, printer commands and scan-line encoder.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>

#include <optional>
#include <string>

// Print settings of a job.  Each choice-number field is the number at the start of the chosen
// PPD choice's keyword, -1 when the PPD lacks the option.
struct settings_ {
  int printtype;         // PrintType
  int pagetype;          // PageType
  int imagecontrol;      // ImageControl
  int outpagemode;       // OutMode
  int density;           // Darkness
  int printposition;     // PrintPosition
  int outpaperposition;  // OutPaperPosition
  // Display text of the chosen OutPaperPosition choice, such as "2.5mm"; none when the PPD
  // has no usable choice.
  std::optional<std::string> ourpaperstring;
  // Number in the last three characters of the OutMode keyword, for output modes above 3.
  int ioutposition;
};

// The printer's dots per millimetre: 8, or 12 for a 300 dpi job; 0 until jobSetup has run.
extern int iPrnResolution;

// The label size command, "\002c" + four height digits + "\r\002Kw" + four width digits +
// "\r"; the digits are filled from the first page before jobSetup writes it.
extern unsigned char PaperCommand[15];

// Reads the PPD (environment variable PPD) and the job's option string into `settings`.
// Returns false, after an "ERROR: " line, when the PPD cannot be read.
bool initializeSettings(char* commandLineOptionSettings, settings_* settings);

// Display text of the chosen choice of option `choiceName`, or null.
const char* getOptionChoiceString(const char* choiceName, ppd_file_t* ppd);

// The number in the last three characters of the chosen choice's keyword (the whole keyword
// when it is shorter), or -1 when the option has no usable choice.
int getOptionChoiceValue(const char* choiceName, ppd_file_t* ppd);

// Fills the digits of PaperCommand with the last four decimal digits of the label's height
// and width in dots.
void setPaperSize(unsigned long long heightdots, unsigned long long widthdots);

// Writes the job preamble: the host probe's zero-byte run where needed, the printer set-up,
// the label size and the output mode.  Sets iPrnResolution.
void jobSetup(settings_ settings, int iResolution);

// Writes the start of a label: print position, label formatting mode, heat and the header of
// the image record that the page's scan lines follow.
void pageSetup(settings_ settings, cups_page_header_t header);

// Writes the end of the image data and of the label format, which prints the label.
void endPage(settings_ settings);

// Writes the out-paper position for the output modes that take one, once after the last page.
void endJob(settings_ settings);

// Writes the blank-line code for `n` (at least 1) blank scan lines.
void outputBlankLines(unsigned long long n);

// Run-length codes the `LineWidth` bytes at `lpbuf` into `pt_d`, which must hold
// 2 x `LineWidth` bytes.  Returns the number of bytes written, or 0 when every input byte is 0
// (the codes are still written) or `LineWidth` is below 1 (nothing is written).
int encode(const unsigned char* lpbuf, unsigned char* pt_d, int LineWidth);

// Prints every page of the raster stream (null: none) and ends the job.  Returns the exit
// status.
int printPages(cups_raster_t* ras, settings_ settings);

// The filter's whole run: arguments, input, settings, pages.  Returns the exit status.
int silvaneMain(int argc, char** argv);
