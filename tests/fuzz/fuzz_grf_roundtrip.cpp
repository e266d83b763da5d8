// fuzz_grf_roundtrip.cpp: any bitmap written as GRF text or Z64 data reads back unchanged.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Input: one byte of row size, then the bitmap (a partial last row is ignored).

#include "DataComDecompress.h"
#include "GRFDataZ64.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size < 2 || size > 65536)
    return -1;
  std::uint64_t rowBytes = data[0] + 1;
  const unsigned char* bitmap = data + 1;
  std::uint64_t rows = (size - 1) / rowBytes;
  if (rows == 0)
    return 0;
  std::uint64_t total = rows * rowBytes;

  char* text = nullptr;
  std::uint64_t textLen = 0;
  if (GRFDataCompress(bitmap, total, rowBytes, &text, &textLen) != 0)
    std::abort();
  // At most two digits a byte and a line end a row.
  if (textLen > 2 * total + 3 * rows)
    std::abort();

  std::vector<unsigned char> back(total);
  std::uint64_t count = total;
  int status = GRFDataDecompress(text, textLen, rowBytes, back.data(), &count);
  if (status != 0 || count != total || std::memcmp(back.data(), bitmap, total) != 0)
    std::abort();
  FreeReallocMemory(&text);

  if (GRFDataZ64Encode(bitmap, total, rowBytes, &text, &textLen) != 0)
    std::abort();
  GRFZ64Fault fault;
  std::fill(back.begin(), back.end(), 0);
  if (GRFDataZ64Decode(text, textLen, back.data(), total, &fault) != 0 ||
      std::memcmp(back.data(), bitmap, total) != 0)
    std::abort();
  FreeReallocMemory(&text);
  return 0;
}
