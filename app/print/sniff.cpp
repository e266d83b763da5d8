// sniff.cpp: raw printer languages recognised by their bytes.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "sniff.h"

#include <cstdint>
#include <cstring>

namespace app {

Sniffed sniffRaw(const unsigned char* data, std::size_t length)
{
  std::size_t i = 0;
  // Raw jobs often begin with blank lines or a run of zero bytes that wakes the printer's
  // interface.
  while (i < length && i < 4096 &&
         (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n' || data[i] == 0))
    i++;
  if (i + 1 >= length)
    return Sniffed::unknown;
  unsigned char first = data[i], second = data[i + 1];
  auto letter = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  // ZPL: a format or control command (^XA, ~DG...), or DLE "CT~" that resets the control
  // prefix before them.
  if ((first == '^' || first == '~') && letter(second))
    return Sniffed::zpl;
  if (first == 0x10 && length - i >= 4 && std::memcmp(data + i + 1, "CT~", 3) == 0)
    return Sniffed::zpl;
  // DPL: STX or SOH followed by a command letter.
  if ((first == 0x02 || first == 0x01) && letter(second))
    return Sniffed::dpl;
  return Sniffed::unknown;
}

const char* rawFormat(const unsigned char* data, std::size_t length)
{
  switch (sniffRaw(data, length)) {
    case Sniffed::zpl: return kZplFormat;
    case Sniffed::dpl: return kDplFormat;
    default: return nullptr;
  }
}

const char* rawJobRefusal(const unsigned char* start, std::size_t length, Language language)
{
  if (length == 0)
    return "The document is empty";
  if (sniffRaw(start, length) != (language == Language::zpl ? Sniffed::zpl : Sniffed::dpl))
    return language == Language::zpl ? "The document is not a ZPL II job" : "The document is not a DPL job";
  return nullptr;
}

}  // namespace app
