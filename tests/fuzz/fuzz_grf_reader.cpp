// fuzz_grf_reader.cpp: the GRF reader, both forms, and the Z64 reader on arbitrary text.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Input: one byte of row size, two bytes of capacity, then the text.

#include "DataComDecompress.h"
#include "GRFDataZ64.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size < 3 || size > 65536)
    return -1;
  std::uint64_t rowBytes = data[0] % 64 + 1;
  std::uint64_t capacity = (data[1] | (data[2] << 8)) % 8192;
  const char* text = reinterpret_cast<const char*>(data + 3);
  std::uint64_t textLen = size - 3;

  // The block is exactly `capacity` bytes, so any store past it is caught.
  std::vector<unsigned char> block(capacity);
  std::uint64_t count = capacity;
  int status = GRFDataDecompress(text, textLen, rowBytes, block.data(), &count);
  if (status != 0 && status != 1 && status != 6)
    std::abort();
  if (count > capacity)
    std::abort();

  // The Z64 reader fills exactly `capacity` bytes or names a place no further than the end.
  GRFZ64Fault fault;
  status = GRFDataZ64Decode(text, textLen, block.data(), capacity, &fault);
  const bool known = status == 0 || status == 1 || status == 3 ||
                     (status >= kGRFZ64BadPrefix && status <= kGRFZ64WrongSize);
  if (!known)
    std::abort();
  if (status != 0 && fault.nPosition > textLen)
    std::abort();

  std::uint64_t position = 0, repeat = 1, produced = 0, nibbles = 0;
  unsigned char pending = 0;
  for (std::uint64_t i = 0; i < textLen; i++) {
    status = GRFDataDecompressSingleCharProcess(text[i], rowBytes, &position, &pending, &repeat,
                                                &produced, &nibbles, block.data(), capacity);
    if (status != 0 && status != 5 && status != 6)
      std::abort();
    if (produced > capacity || position != produced)
      std::abort();
    if (status == 6)
      break;
  }
  return 0;
}
