// shell.cpp: runs one shell command for the host probe and collects its output.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Kept alone in its file so that a program that must not start shells (a fuzz target) can
// link a stand-in of its own.

#include "probe.h"

#include <cstdio>
#include <cstring>

int SystemRtn(const char* Cmd, char* pbyRtnStr, std::size_t nRtnSize)
{
  FILE* fp = popen(Cmd, "r");
  if (fp == nullptr)
    return -1;

  // Each fgets call ends after at most one line-feed, which is dropped; pieces of a long line
  // are appended as they come.  Output past the caller's buffer is read (so the command is not
  // stopped by a full pipe) and dropped.
  char result_buf[256];
  std::size_t nTotalLen = 0;
  std::size_t nRoom = nRtnSize > 0 ? nRtnSize - 1 : 0;
  while (std::fgets(result_buf, sizeof result_buf, fp) != nullptr) {
    std::size_t nOnceLen = std::strlen(result_buf);
    if (char* lf = static_cast<char*>(std::memchr(result_buf, '\n', nOnceLen)))
      nOnceLen = static_cast<std::size_t>(lf - result_buf);
    std::size_t nCopy = nOnceLen < nRoom - nTotalLen ? nOnceLen : nRoom - nTotalLen;
    std::memcpy(pbyRtnStr + nTotalLen, result_buf, nCopy);
    nTotalLen += nCopy;
  }
  if (nRtnSize > 0)
    pbyRtnStr[nTotalLen] = '\0';

  return pclose(fp) == -1 ? -1 : 0;
}
