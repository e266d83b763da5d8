// fuzz_encode_roundtrip.cpp: any scan line, run-length coded for a DPL image record, decodes
// back to itself, within two bytes a byte, and no code begins with the byte 0xFF.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "dpl.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0 || size > 16384)
    return -1;
  int width = static_cast<int>(size);
  std::vector<unsigned char> code(2 * size);
  int length = dpl::encode(data, code.data(), width);

  bool blank = true;
  for (std::size_t i = 0; i < size; i++)
    blank = blank && data[i] == 0;
  if (blank) {
    if (length != 0)
      std::abort();
    return 0;
  }
  if (length <= 0 || length > 2 * width)
    std::abort();

  std::vector<unsigned char> line;
  for (int i = 0; i < length;) {
    unsigned char c = code[static_cast<std::size_t>(i)];
    if (c == 0xFF || (c > 0xC0 && i + 1 >= length))
      std::abort();
    if (c <= 0xC0) {
      line.push_back(c);
      i += 1;
    } else {
      line.insert(line.end(), c == 0xC1 ? 1u : c - 0xC0u, code[static_cast<std::size_t>(i) + 1]);
      i += 2;
    }
  }
  if (line.size() != size || !std::equal(line.begin(), line.end(), data))
    std::abort();
  return 0;
}
