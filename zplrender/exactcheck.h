// exactcheck.h: where and why a driver's raster job is not exactly right, for the exact
// reading of such jobs (Options::exact).  Internal to the renderer.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "GRFDataZ64.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zplrender {

// A fault found at byte `at` of the job.
struct Fault {
  std::size_t at = 0;
  std::string what;
};

// Z64 or B64 data of graphic `name` starting at byte `dataAt` of `job` that the GRF reader
// refused with `status` and `fault`.
Fault z64Fault(std::string_view job, std::size_t dataAt, int status, const GRFZ64Fault& fault,
               const std::string& name);

// Hex data (the GRF text) at byte `dataAt` that GRFDataDecompress refused: the first byte that
// does not belong in it (status 1), or the byte at which it stops fitting `total` bytes of
// `rowBytes` a row (any other status).
Fault hexFault(std::string_view text, std::size_t dataAt, int status, std::uint64_t rowBytes,
               std::uint64_t total, const std::string& name);

}  // namespace zplrender
