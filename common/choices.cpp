// choices.cpp: PPD and job option lookup shared by both filters.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "choices.h"

#include <cups/cups.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

// The PPD API is deprecated in libcups but is the interface CUPS filters read PPDs through.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

// Owns what cupsParseOptions returns.
class JobOptions {
 public:
  explicit JobOptions(const char* text) : count_(cupsParseOptions(text, 0, &list_)) {}
  ~JobOptions() { cupsFreeOptions(count_, list_); }
  JobOptions(const JobOptions&) = delete;
  JobOptions& operator=(const JobOptions&) = delete;

  int count() const { return count_; }
  cups_option_t* list() const { return list_; }

 private:
  cups_option_t* list_ = nullptr;
  int count_ = 0;
};

}  // namespace

void PpdClose::operator()(ppd_file_t* ppd) const noexcept
{
  ppdClose(ppd);
}

PpdPtr openJobPpd(const char* commandLineOptionSettings)
{
  const char* path = std::getenv("PPD");
  if (path == nullptr || *path == '\0') {
    std::fputs("ERROR: No PPD file: the PPD environment variable is not set\n", stderr);
    return nullptr;
  }

  PpdPtr ppd(ppdOpenFile(path));
  if (!ppd) {
    int line = 0;
    ppd_status_t status = ppdLastError(&line);
    std::fprintf(stderr, "ERROR: Unable to open PPD file \"%s\": %s on line %d\n", path,
                 ppdErrorString(status), line);
    return nullptr;
  }

  // The PPD's defaults first, then whatever the job chose over them.
  ppdMarkDefaults(ppd.get());
  JobOptions options(commandLineOptionSettings);
  if (options.count() != 0 && options.list() != nullptr)
    cupsMarkOptions(ppd.get(), options.count(), options.list());
  return ppd;
}

ppd_choice_t* findChosenChoice(const char* choiceName, ppd_file_t* ppd)
{
  ppd_choice_t* choice = ppdFindMarkedChoice(ppd, choiceName);
  if (choice == nullptr) {
    ppd_option_t* option = ppdFindOption(ppd, choiceName);
    if (option != nullptr)
      choice = ppdFindChoice(option, option->defchoice);
  }
  return choice;
}

int leadingNumber(const char* text)
{
  errno = 0;
  long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return static_cast<int>(value);
}

int getOptionChoiceIndex(const char* choiceName, ppd_file_t* ppd)
{
  ppd_choice_t* choice = findChosenChoice(choiceName, ppd);
  if (choice == nullptr)
    return -1;
  return leadingNumber(choice->choice);
}
