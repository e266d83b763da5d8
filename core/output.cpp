// output.cpp: the buffered printer output of a job and the two sinks the programs use.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "output.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

extern "C" int writeFd(void* context, const unsigned char* data, std::size_t length)
{
  int fd = *static_cast<int*>(context);
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return errno != 0 ? errno : EIO;
    }
    if (n == 0)
      return EIO;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return 0;
}

extern "C" int writeString(void* context, const unsigned char* data, std::size_t length)
{
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), length);
  return 0;
}

// Passes `length` bytes to the sink; on failure keeps the code and drops the buffer.
bool sinkWrite(Output& out, const unsigned char* data, std::size_t length)
{
  if (out.error != 0)
    return false;
  if (length == 0)
    return true;
  int code = out.sink.write != nullptr ? out.sink.write(out.sink.context, data, length) : EBADF;
  if (code != 0) {
    out.error = code;
    out.used = 0;
    return false;
  }
  out.sent += length;
  return true;
}

}  // namespace

ByteSink fdSink(int* fd)
{
  return {writeFd, fd};
}

ByteSink stringSink(std::string* bytes)
{
  return {writeString, bytes};
}

void openOutput(Output& out, ByteSink sink)
{
  out.sink = sink;
  out.buffer.assign(kOutputBufferBytes, 0);
  out.used = 0;
  out.error = 0;
  out.sent = 0;
}

bool flushOutput(Output& out)
{
  std::size_t n = out.used;
  out.used = 0;
  return sinkWrite(out, out.buffer.data(), n);
}

void outputBytes(Output& out, const void* data, std::size_t length)
{
  if (out.error != 0 || length == 0)
    return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::size_t room = out.buffer.size() - out.used;
  if (length <= room) {
    std::memcpy(out.buffer.data() + out.used, p, length);
    out.used += length;
    return;
  }
  // Fill the buffer and send it; a run longer than the buffer goes to the sink directly.
  std::memcpy(out.buffer.data() + out.used, p, room);
  out.used += room;
  p += room;
  length -= room;
  if (!flushOutput(out))
    return;
  if (length >= out.buffer.size()) {
    sinkWrite(out, p, length);
    return;
  }
  std::memcpy(out.buffer.data(), p, length);
  out.used = length;
}

void outputCommand(Output& out, command cmd)
{
  if (cmd.length > 0)
    outputBytes(out, cmd.data, static_cast<std::size_t>(cmd.length));
}

void outputText(Output& out, const char* text)
{
  outputBytes(out, text, std::strlen(text));
}

std::string outputErrorText(const Output& out)
{
  return std::string("Unable to write print data: ") + std::strerror(out.error);
}
