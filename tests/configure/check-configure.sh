#!/bin/bash
# check-configure.sh: build set-ups other than the test build configure, or refuse, as they should.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: tests/configure/check-configure.sh
#
#   - without ppdc, configure stops with an error that names the package, unless the PPDs are
#     switched off (-DBUILD_PPDS=OFF), which configures and builds the programs;
#   - a fuzz build without the sanitizers (-DBUILD_FUZZERS=ON, clang) configures, and links a
#     fuzz target and a filter;
#   - the filters need no libcupsimage where libcups has the raster API (CUPS 2.3 and later).
# Each build is made in a temporary directory, removed at the end.

set -euo pipefail
cd "$(dirname "$0")/../.."
source=$PWD
tmp=$(mktemp -d "${TMPDIR:-/tmp}/labelfilters-configure.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

# ppdc hidden: find_program looks in none of the usual program folders.
hide_programs=(-DCMAKE_IGNORE_PATH="/usr/bin;/bin;/usr/sbin;/sbin;/usr/local/bin;/usr/local/sbin"
               -DCMAKE_CXX_COMPILER="$(command -v c++)" -DCMAKE_MAKE_PROGRAM="$(command -v make)"
               -DBUILD_TESTING=OFF)
if cmake -S "$source" -B "$tmp/noppdc" "${hide_programs[@]}" > "$tmp/noppdc.log" 2>&1; then
  fail "configure without ppdc succeeded"
elif ! grep -q 'ppdc not found: install cups-ppdc' "$tmp/noppdc.log"; then
  fail "configure without ppdc failed for another reason:"; tail -n 20 "$tmp/noppdc.log" >&2
fi
cmake -S "$source" -B "$tmp/noppds-hidden" "${hide_programs[@]}" -DBUILD_PPDS=OFF > "$tmp/noppds-hidden.log" 2>&1 ||
  { fail "-DBUILD_PPDS=OFF without ppdc does not configure:"; tail -n 20 "$tmp/noppds-hidden.log" >&2; }
# (built with the usual paths: the archiver and linker are in the folders hidden above)
if cmake -S "$source" -B "$tmp/noppds" -DBUILD_PPDS=OFF -DBUILD_TESTING=OFF > "$tmp/noppds.log" 2>&1 &&
   cmake --build "$tmp/noppds" -j2 --target torvane > "$tmp/noppds-build.log" 2>&1; then
  libcups=$(ldd "$tmp/noppds/torvane/torvane" | awk '$1 ~ /^libcups\.so/ { print $3 }')
  if [ -z "$libcups" ]; then
    fail "torvane does not link libcups"
  elif nm -D --defined-only "$libcups" | grep -qw cupsRasterOpenIO &&
       readelf -d "$tmp/noppds/torvane/torvane" | grep -q 'NEEDED.*libcupsimage'; then
    fail "torvane links libcupsimage although libcups has the raster API"
  fi
else
  fail "-DBUILD_PPDS=OFF does not build:"; tail -n 20 "$tmp"/noppds.log "$tmp"/noppds-build.log >&2
fi

if command -v clang++ > /dev/null; then
  if ! { CXX=clang++ cmake -S "$source" -B "$tmp/fuzz" -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF &&
         cmake --build "$tmp/fuzz" -j2 --target fuzz_grf_reader torvane; } > "$tmp/fuzz.log" 2>&1; then
    fail "-DBUILD_FUZZERS=ON without -DSANITIZE=ON does not build:"; tail -n 20 "$tmp/fuzz.log" >&2
  fi
else
  fail "clang++ not found (scripts/install-deps installs it)"
fi

[ $failed -eq 0 ] && echo "configure checks: no ppdc is an error unless BUILD_PPDS=OFF; fuzzers build without sanitizers; no libcupsimage"
exit $failed
