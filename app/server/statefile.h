// statefile.h: a file replaced whole: written beside its place, flushed to the disk, renamed
// over the old one and the rename flushed with its directory, so that a server killed while
// saving, or a machine that loses power, keeps the last whole file.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <string>

namespace app {

// The name the new content is written under before it replaces `path`.
std::string pendingName(const std::string& path);

// Puts the written pendingName(path) in the place of `path`.  Empty on success; otherwise
// what failed (the pending file is then removed and `path` is as it was).  A directory that
// cannot be flushed after the rename is not a failure: the new file is in place, and until
// the directory reaches the disk a power loss brings back the old one, which is whole.
std::string replaceWithPending(const std::string& path, std::string* warning = nullptr);

}  // namespace app
