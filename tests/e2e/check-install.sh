#!/bin/bash
# check-install.sh: `cmake --install` puts every program and PPD where CUPS and users find them.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: check-install.sh BUILD_DIR FILTER_DIR PPD_DIR BIN_DIR [labelpreview]
#
# Installs the build into a scratch DESTDIR and checks the filters are in FILTER_DIR (the
# CUPS filter directory) with mode 0755, the four PPDs in PPD_DIR, readable by all, and, when
# asked, labelpreview in BIN_DIR.  A filter that is group- or world-writable, or missing, is a
# queue CUPS refuses to print on; so is one in a directory that others can write to, so the
# install runs under umask 002 and every directory it makes must still be 0755.  Each program
# answers --version with the version the PPDs' NickName and FileVersion carry.

set -euo pipefail

[ $# -ge 4 ] || { echo "usage: check-install.sh BUILD_DIR FILTER_DIR PPD_DIR BIN_DIR [labelpreview]" >&2; exit 2; }
build=$1 filter_dir=$2 ppd_dir=$3 bin_dir=$4 with_preview=${5-}

dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
(umask 002 && DESTDIR=$dest cmake --install "$build") > "$dest.log" 2>&1 ||
  { cat "$dest.log" >&2; rm -f "$dest.log"; echo "cmake --install failed" >&2; exit 1; }
rm -f "$dest.log"

failed=0
expect() {  # expect PATH MODE
  local mode
  if [ ! -f "$dest$1" ]; then
    echo "not installed: $1" >&2; failed=1; return
  fi
  mode=$(stat -c %a "$dest$1")
  [ "$mode" = "$2" ] || { echo "$1 has mode $mode, not $2" >&2; failed=1; }
}

expect "$filter_dir/torvane" 755
expect "$filter_dir/silvane" 755
for ppd in zpl203 zpl300 dpl203 dpl300; do
  expect "$ppd_dir/$ppd.ppd" 644
done
[ "$with_preview" = labelpreview ] && expect "$bin_dir/labelpreview" 755
# The printer application's renderer, where it is built: run by the server, so executable.
renderer=${bin_dir%/bin}/libexec/label-printer-app/label-render
[ ! -e "$dest$renderer" ] || expect "$renderer" 755

writable=$(cd "$dest" && find . -mindepth 1 -type d -perm /022 | sed 's|^\.||')
[ -z "$writable" ] || { echo "directories others can write to:" >&2; echo "$writable" >&2; failed=1; }

# One version everywhere: the programs' --version, each PPD's FileVersion and NickName.
version=$(sed -n 's/^\*FileVersion: "\(.*\)"$/\1/p' "$dest$ppd_dir/zpl203.ppd")
[ -n "$version" ] || { echo "zpl203.ppd has no FileVersion" >&2; failed=1; }
for ppd in zpl203 zpl300 dpl203 dpl300; do
  file=$dest$ppd_dir/$ppd.ppd
  [ -f "$file" ] || continue
  grep -q "^\*FileVersion: \"$version\"$" "$file" || { echo "$ppd.ppd: FileVersion is not $version" >&2; failed=1; }
  grep -q "^\*NickName: \".*, [a-z]* $version\"$" "$file" ||
    { echo "$ppd.ppd: NickName does not end in version $version" >&2; failed=1; }
done
for program in "$filter_dir/torvane" "$filter_dir/silvane" ${with_preview:+"$bin_dir/labelpreview"}; do
  [ -x "$dest$program" ] || continue
  said=$("$dest$program" --version) || { echo "$program --version failed" >&2; failed=1; continue; }
  [ "$said" = "$(basename "$program") $version" ] ||
    { echo "$program --version says \"$said\", the PPDs $version" >&2; failed=1; }
done

# Nothing else but manual pages: no test programs or libraries in the install.
extra=$(cd "$dest" && find . -type f | sed 's|^\.||' | grep -v -x -F \
  -e "$filter_dir/torvane" -e "$filter_dir/silvane" -e "$bin_dir/labelpreview" \
  -e "${bin_dir%/bin}/sbin/label-printer-app" -e "$renderer" \
  -e "$ppd_dir/zpl203.ppd" -e "$ppd_dir/zpl300.ppd" -e "$ppd_dir/dpl203.ppd" -e "$ppd_dir/dpl300.ppd" |
  grep -v '/share/man/' || true)
[ -z "$extra" ] || { echo "unexpected files installed:" >&2; echo "$extra" >&2; failed=1; }

[ $failed -eq 0 ] && echo "install layout: filters in $filter_dir, PPDs in $ppd_dir"
exit $failed
