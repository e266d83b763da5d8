// sniff.h: what a job's document is, by its first bytes: raw printer language or not.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "drivers.h"

#include <cstddef>

namespace app {

enum class Sniffed { unknown, zpl, dpl };
Sniffed sniffRaw(const unsigned char* data, std::size_t length);

// The MIME type of a raw job in a printer language, by its first bytes; null for anything
// else.
const char* rawFormat(const unsigned char* data, std::size_t length);

// Whether a raw job may go to a printer of `language`: its start shows it is in that
// language (anything else would be printed as garbage or jam the printer's parser).  Null
// when it may; otherwise the reason to fail the job with.
const char* rawJobRefusal(const unsigned char* start, std::size_t length, Language language);

}  // namespace app
