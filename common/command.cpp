// command.cpp: the single byte writer through which all printer output goes.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "command.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

// The filters are single-threaded, so the unlocked stdio calls are safe and spare a lock per
// byte; the bytes still go through the one buffered standard output stream, in order.

void outputCommand(command cmd)
{
  if (cmd.length > 0)
    fwrite_unlocked(cmd.data, 1, static_cast<std::size_t>(cmd.length), stdout);
}

void outputByte(unsigned char byte)
{
  putchar_unlocked(byte);
}

void outputBytes(const void* data, std::size_t length)
{
  if (length > 0)
    fwrite_unlocked(data, 1, length, stdout);
}

void outputText(const char* text)
{
  outputBytes(text, std::strlen(text));
}

void setupOutput()
{
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

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
