// choices.h: reading the printer's PPD file and the job's options.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cups/ppd.h>

#include <memory>

struct PpdClose {
  void operator()(ppd_file_t* ppd) const noexcept;
};
using PpdPtr = std::unique_ptr<ppd_file_t, PpdClose>;

// Opens the PPD named by the environment variable PPD, marks its defaults and then the
// choices of the job's option string.  On failure writes an "ERROR: " line naming the file
// and returns null.
PpdPtr openJobPpd(const char* commandLineOptionSettings);

// The chosen choice of option `choiceName`: the marked one, else the option's default choice
// as the PPD names it, else null.
ppd_choice_t* findChosenChoice(const char* choiceName, ppd_file_t* ppd);

// The number at the start of the chosen choice's keyword (0 when it has no leading digits,
// clamped to the int range), or -1 when the option has no usable choice.
int getOptionChoiceIndex(const char* choiceName, ppd_file_t* ppd);

// Reads a decimal integer the way strtol does (leading blanks, sign, digits up to the first
// non-digit; 0 without digits), clamped to the int range.
int leadingNumber(const char* text);
