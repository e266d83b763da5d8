// output.h: a job's printer output: a caller-supplied byte sink behind a buffer of the job's.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Every printer byte of a job goes through one Output record.  Bytes gather in its buffer and
// leave through the sink when the buffer is full or flushed.  The first failed write ends the
// output: its error code is kept, the buffer is discarded and every later byte is dropped, so
// a printer never gets the rest of a job after a hole in it.  Nothing here is shared between
// records: two jobs on two threads each have their own.

#pragma once

#include "command.h"

#include <cstddef>
#include <string>
#include <vector>

// Where the bytes go.  `write` takes all `length` bytes (it loops over short writes itself)
// and returns 0, or a non-zero code when it cannot: an errno value for the sinks below.
struct ByteSink {
  int (*write)(void* context, const unsigned char* data, std::size_t length) = nullptr;
  void* context = nullptr;
};

// A sink writing to a file descriptor: `context` points at the int descriptor.  Retries a
// write that a signal interrupts and writes the rest of a short write, so a cancel while the
// printer is slow loses no byte; any other failure returns errno.
ByteSink fdSink(int* fd);

// A sink appending to a std::string (`context`); never fails.
ByteSink stringSink(std::string* bytes);

inline constexpr std::size_t kOutputBufferBytes = 64 * 1024;

struct Output {
  ByteSink sink;
  std::vector<unsigned char> buffer;  // kOutputBufferBytes once opened
  std::size_t used = 0;               // bytes waiting in `buffer`
  int error = 0;                      // the sink's code of the first failed write, else 0
  unsigned long long sent = 0;        // bytes the sink has taken
};

// Makes `out` a fresh output to `sink` with an empty buffer.
void openOutput(Output& out, ByteSink sink);

// Hands the buffered bytes to the sink.  False once the output has failed.
bool flushOutput(Output& out);

// True once a write has failed.
inline bool outputFailed(const Output& out)
{
  return out.error != 0;
}

// Writes a run of bytes, a command's bytes, or a NUL-terminated text without its terminator.
void outputBytes(Output& out, const void* data, std::size_t length);
void outputCommand(Output& out, command cmd);
void outputText(Output& out, const char* text);

// Writes one byte.
inline void outputByte(Output& out, unsigned char byte)
{
  if (out.used < out.buffer.size())
    out.buffer[out.used++] = byte;
  else
    outputBytes(out, &byte, 1);
}

// Writes an "ERROR: "-free description of the output's failure, such as "Unable to write
// print data: Broken pipe", for the caller's status line or log.
std::string outputErrorText(const Output& out);
