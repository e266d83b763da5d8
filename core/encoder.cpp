// encoder.cpp: arithmetic both job encoders share.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "encoder.h"

#include "command.h"

#include <cmath>

int dotsPerMillimetre(int dpi)
{
  if (dpi <= 0)
    return 0;
  return static_cast<int>(std::lround(dpi / 25.4));
}

int halfMillimetreDots(double steps, int dotsPerMm)
{
  return truncateDots(dotsPerMm * (0.5 * steps));
}

int halfMillimetreChoice(double mm, int centre)
{
  double steps = std::nearbyint(mm * 2);
  if (!(steps > -1e6 && steps < 1e6))
    steps = 0;
  return centre + static_cast<int>(steps);
}
