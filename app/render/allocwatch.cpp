// allocwatch.cpp: label-render's allocator, the C library's own, with a refusal noted.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// The libraries that draw a document meet a refused allocation each in their own way: Poppler
// aborts, C++ code throws, openjpeg and Poppler's JBIG2 decoder give up on the one image and
// the rest of the page is drawn without it.  The parent's address-space limit is what
// refuses, so a refusal always means that the document needs more memory than it is allowed.
// The functions here take the place of the C library's for every library in the process (a
// program's own symbols come first), pass each call on to glibc's allocator, and note a call
// that comes back empty: the renderer then sends no page drawn since (allocationRefused), and
// the first refusal is said at once on standard error, so that the parent can stop a
// renderer that draws on without the memory.  free() stays glibc's, which owns every block.

#include "allocwatch.h"
#include "renderstream.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

// Process-wide by nature: the allocator is.  The renderer draws one document and exits.
std::atomic<bool> refusal{false};

// Called with what the C library returned; notes nothing coming back.
void* watched(void* block)
{
  if (block == nullptr && !refusal.exchange(true)) {
    int saved = errno;
    ssize_t written = write(STDERR_FILENO, app::kOutOfMemoryLine.data(), app::kOutOfMemoryLine.size());
    (void)written;
    errno = saved;
  }
  return block;
}

}  // namespace

namespace app {

bool allocationRefused()
{
  return refusal.load();
}

}  // namespace app

extern "C" {

void* malloc(std::size_t size)
{
  return watched(__libc_malloc(size));
}

void* calloc(std::size_t count, std::size_t size)
{
  return watched(__libc_calloc(count, size));
}

void* realloc(void* block, std::size_t size)
{
  void* moved = __libc_realloc(block, size);
  // realloc(block, 0) frees the block and returns nothing: no refusal.
  return size == 0 ? moved : watched(moved);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size)
{
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
    return EINVAL;
  void* block = watched(__libc_memalign(alignment, size));
  if (block == nullptr)
    return ENOMEM;
  *out = block;
  return 0;
}

}  // extern "C"
