// previewimpl.h: drawing and reading helpers shared by the ZPL and DPL readers.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "preview.h"

#include <cstdint>
#include <string>
#include <string_view>

enum class DotOp { set, clear, flip };

// Applies `op` to the dots x0 <= x < x1 of row y; the parts outside the image are skipped.
void applyDotSpan(LabelImage& image, std::int64_t y, std::int64_t x0, std::int64_t x1, DotOp op);

// Mirrors the image left to right, and turns it by 180 degrees.
void mirrorLabelImage(LabelImage& image);
void turnLabelImage(LabelImage& image);

// True when a width x height label stays within kMaxLabelDots and kMaxLabelBytes.
bool labelSizeAllowed(std::uint64_t width, std::uint64_t height);

// A byte as a person reads it in a message: 'A' for printable ASCII, else 0x1F.
std::string describeByte(unsigned char byte);

// A command text for a message: printable ASCII kept, every other byte as <0x..>, at most
// 40 bytes.
std::string printableText(std::string_view text);

// Reads an optional sign and 1 to 9 decimal digits, the whole text; false otherwise.
bool readDecimal(std::string_view text, long long& value);

// Hands a finished label to the sink, if there is one, and keeps it in the job (without its
// dots once the sink has had them).  False when the sink stops the reading.
bool deliverLabel(LabelJob& job, PreviewLabel&& label, const LabelSink& sink);

// The work allowance of a job of `size` bytes.
std::uint64_t jobWorkAllowed(std::size_t size);

// "the job draws more than N bytes of labels, ...": the message for a job past its allowance.
std::string tooMuchWork(std::size_t size);
