#!/bin/bash
# app-latency.sh: time from `submit` to the last byte in the file device, for label-printer-app.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: bench/app-latency.sh APP [RUNS [DRIVER]]
#   APP     the label-printer-app binary, or `lprint` (Debian's LPrint, for comparison: run it as
#           root inside `unshare -n` after `ip link set lo up`, since it also binds 0.0.0.0)
#   RUNS    jobs of each kind (default 5); DRIVER the driver (default zpl_203; for LPrint
#           zpl_4inch-203dpi-dt)
# Starts the app on 127.0.0.1 and a free port with everything in a temporary directory, adds a
# ZPL 203 dpi printer with a file: device, and prints the 4x6 in sample PDF (tools/make-label-pdf)
# and a 4x6 in PWG raster of it (made by Ghostscript's pwgraster device), RUNS times each.  Prints the median milliseconds and the server's
# peak RSS (VmHWM).  A job is done when its output file stops growing and `jobs` says completed.
set -euo pipefail
app=$1 runs=${2:-5} driver=${3:-zpl_203}
base=$(basename "$app")
here=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
export HOME=$tmp TMPDIR=$tmp SNAP_COMMON=$tmp
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$app" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o log-file="$tmp/log" \
  -o spool-directory="$tmp/spool" -o state-file="$tmp/state" -o file-directory="$tmp" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 100); do [ -S "$tmp/$base.sock" ] && break; sleep 0.05; done
mkdir -p "$tmp/out"
"$app" add -d z -m "$driver" -v "file://$tmp/out?ext=zpl" >/dev/null
"$here/tools/make-label-pdf" 4x6in "$tmp/label.pdf"
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pwgraster -r203 -dcupsBitsPerPixel=1 \
   -dcupsColorSpace=3 -sOutputFile="$tmp/label.pwg" "$tmp/label.pdf" 2>/dev/null ||
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pwgraster -r203 -sOutputFile="$tmp/label.pwg" "$tmp/label.pdf"

now_ms() { date +%s%3N; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

run() {  # FILE KIND
  local file=$1 kind=$2 times=()
  for i in $(seq "$runs"); do
    local name="$kind-$i" start end
    start=$(now_ms)
    "$app" submit -d z -t "$name" "$file" >/dev/null
    for _ in $(seq 600); do
      if "$app" jobs -d z | grep -q "completed.* $name\$"; then break; fi
      sleep 0.01
    done
    if ! "$app" jobs -d z | grep -q "completed.* $name\$" || [ ! -s "$tmp/out/$name.zpl" ]; then
      echo "$kind: job $i did not print (the application may not take this format)"
      return 0
    fi
    # The last byte's time: the output file's modification time, in milliseconds.
    end=$(find "$tmp/out/$name.zpl" -printf '%T@\n' | awk '{printf "%.0f\n", $1 * 1000}')
    times+=($((end - start)))
  done
  printf '%s: median %s ms over %s runs (%s)\n' "$kind" \
    "$(printf '%s\n' "${times[@]}" | median)" "$runs" "${times[*]}"
}
run "$tmp/label.pdf" pdf
run "$tmp/label.pwg" pwg
grep VmHWM "/proc/$pid/status"
