#!/bin/bash
# ipp-everywhere.sh: CUPS's IPP Everywhere test file (cups-ipp-utils) against every driver of
# label-printer-app; fails on any failed test.  Prints pass/fail/skip per driver.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: ipp-everywhere.sh APP MAKE_PDF [SERVER-OPTIONS]
# The server runs on 127.0.0.1 and a free port, everything in a temporary directory, and is
# stopped with SIGTERM.  SERVER-OPTIONS defaults to no-tls: with TLS on, PAPPL lists one
# printer URI to a client on localhost but two URI security values, which the test file
# counts as a failure that a client on the network does not see.
set -euo pipefail
app=$1 make_pdf=$2 options=${3:-no-tls}
testfile=/usr/share/cups/ipptool/ipp-everywhere.test
[ -f "$testfile" ] || { echo "no $testfile: install cups-ipp-utils" >&2; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/app-ippeve.XXXXXX")
export HOME=$tmp TMPDIR=$tmp SNAP_COMMON=$tmp ASAN_OPTIONS=detect_leaks=0
pid=
cleanup() {
  local status=$?
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  [ $status -eq 0 ] && rm -rf "$tmp" || echo "ipp-everywhere: files kept in $tmp" >&2
  exit $status
}
trap cleanup EXIT
port=
for _ in $(seq 50); do
  p=$((20000 + RANDOM % 40000))
  (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { port=$p; break; }
done
"$app" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o log-file="$tmp/log" \
  -o spool-directory="$tmp/spool" -o state-file="$tmp/state" -o file-directory="$tmp" -o server-options="$options" &
pid=$!
for _ in $(seq 200); do [ -S "$tmp/label-printer-app.sock" ] && break; sleep 0.1; done
"$make_pdf" 4x6in "$tmp/label.pdf"
failed=0
for driver in zpl_203 zpl_300 dpl_203 dpl_300; do
  mkdir -p "$tmp/$driver"
  "$app" add -d "$driver" -m "$driver" -v "file://$tmp/$driver?ext=prn"
  sleep 1.2  # printer-up-time must be above 0
  (cd "$tmp" && timeout 240 ipptool -c -t -f "$tmp/label.pdf" "ipp://127.0.0.1:$port/ipp/print/$driver" \
     "$testfile" > "$tmp/$driver.txt" 2>&1) || true
  kill -0 "$pid" 2>/dev/null || { echo "the server died during the $driver tests" >&2; exit 1; }
  pass=$(grep -c '\[PASS\]' "$tmp/$driver.txt" || true)
  fail=$(grep -c '\[FAIL\]' "$tmp/$driver.txt" || true)
  skip=$(grep -c '\[SKIP\]' "$tmp/$driver.txt" || true)
  echo "$driver: $pass passed, $fail failed, $skip skipped"
  if [ "$fail" -ne 0 ] || [ "$pass" -eq 0 ]; then
    grep -A8 '\[FAIL\]' "$tmp/$driver.txt" >&2 || true
    failed=1
  fi
done
exit $failed
