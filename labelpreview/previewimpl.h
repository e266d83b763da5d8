// previewimpl.h: drawing and reading helpers shared by the ZPL and DPL readers.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "preview.h"
#include "zplrender.h"

#include <cstdint>
#include <string>
#include <string_view>

// True when a width x height label stays within kMaxLabelDots and kMaxLabelBytes.
bool labelSizeAllowed(std::uint64_t width, std::uint64_t height);

// Words for messages, as the ZPL renderer says them: a byte ('A', 0x1F), a command text
// (printable ASCII, other bytes as <0x..>, at most 40 bytes), and a number of an optional sign
// and 1 to 9 decimal digits.
using zplrender::describeByte;
using zplrender::readDecimal;
inline std::string printableText(std::string_view text)
{
  return zplrender::printable(text);
}

// Hands a finished label to the sink, if there is one, and keeps it in the job (without its
// dots once the sink has had them).  False when the sink stops the reading.
bool deliverLabel(LabelJob& job, PreviewLabel&& label, const LabelSink& sink);

// The work allowance of a job of `size` bytes.
std::uint64_t jobWorkAllowed(std::size_t size);

// "the job draws more than N bytes of labels, ...": the message for a job past its allowance.
std::string tooMuchWork(std::size_t size);
