// GRFLoad8.h: eight bytes read as one little-endian number, for word-at-a-time scanning.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// Eight bytes as a number whose lowest byte is the first in memory, whatever the machine.
inline std::uint64_t GRFLoad8(const unsigned char* p)
{
  std::uint64_t nWord;
  std::memcpy(&nWord, p, 8);
  if constexpr (std::endian::native == std::endian::big)
    nWord = __builtin_bswap64(nWord);
  return nWord;
}
