// busyretry.h: how long `submit` waits before sending a job again that the server refused as
// busy (PAPPL 1.3 prints PWG and Apple raster as it arrives, and refuses one while the printer
// prints another job).
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <chrono>
#include <optional>

namespace app {

// The wait before retry number `attempt` (1, 2, ...): 250 ms, doubling up to 4 s, about 30 s
// in all; none once the retries are used up.
inline std::optional<std::chrono::milliseconds> busyRetryDelay(int attempt)
{
  constexpr int kAttempts = 11;
  if (attempt < 1 || attempt > kAttempts)
    return std::nullopt;
  long delay = 250L << (attempt - 1 < 4 ? attempt - 1 : 4);
  return std::chrono::milliseconds(delay);
}

}  // namespace app
