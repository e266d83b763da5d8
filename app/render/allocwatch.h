// allocwatch.h: label-render's watch on its allocator (allocwatch.cpp, the program's alone).
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

namespace app {

// True once an allocation of this process has been refused.
bool allocationRefused();

}  // namespace app
