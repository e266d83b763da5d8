// command.h: the counted byte strings that the filters send to the printer.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// A fixed printer command: `length` bytes at `data`, written verbatim.  The bytes may hold
// control and NUL bytes; a length of 0 writes nothing.
struct command {
  int length;
  const char* data;
};

// Builds a command from a literal.  Use `sv` literals so that embedded NUL bytes are counted.
constexpr command makeCommand(std::string_view text)
{
  return {static_cast<int>(text.size()), text.data()};
}

// The command that writes nothing.
inline constexpr command emptyCommand = {0, ""};

// Entry `index` of a table indexed by a choice number, or the empty command when the index
// lies outside the table (-1 is what an option missing from the PPD gives).
constexpr command tableCommand(std::span<const command> table, int index)
{
  if (index < 0 || static_cast<std::size_t>(index) >= table.size())
    return emptyCommand;
  return table[static_cast<std::size_t>(index)];
}

// Truncates a computed dot count toward zero, clamped to the int range so that an absurd
// position choice or resolution gives an extreme number rather than undefined behaviour.
int truncateDots(double value);
