// command.cpp: the arithmetic behind printer commands' numbers.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "command.h"

#include <climits>
#include <cmath>

int truncateDots(double value)
{
  if (std::isnan(value))
    return 0;
  if (value >= static_cast<double>(INT_MAX))
    return INT_MAX;
  if (value <= static_cast<double>(INT_MIN))
    return INT_MIN;
  return static_cast<int>(value);
}
