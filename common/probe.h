// probe.h: the host probe: whether a job starts with 512 zero bytes, from what shell
// commands print about the host.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <cstddef>

// Runs `Cmd` through /bin/sh and stores its standard output in `pbyRtnStr` as one text: every
// line without its line-feed, the lines joined with nothing between them, NUL-terminated.  At
// most `nRtnSize` - 1 bytes are stored; the rest of the output is read and dropped.  Returns
// 0, or -1 when the pipe cannot be opened (the buffer is then untouched) or closed.
int SystemRtn(const char* Cmd, char* pbyRtnStr, std::size_t nRtnSize);

// True when the NUL-terminated text contains `word` (a plain, case-sensitive byte search).
bool textContains(const char* text, const char* word);

// Some hosts' USB stacks lose the first bytes of a job; 512 zero bytes in front keep the
// preamble whole.  Each decides from the release banner (`cat /etc/issue`), the locale
// (`echo $LANG`) and, where the banner decides nothing, the kernel (`cat /proc/version`).
// The ZPL and DPL printers' rules differ for Chinese-locale hosts.
bool zplHostNeedsZeroRun();
bool dplHostNeedsZeroRun();
