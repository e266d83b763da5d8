#!/usr/bin/env bash
# Times whole silvane runs: raster megabytes per second and peak resident size for a 4x6 inch
# and a 4x400 inch label at 300 dpi.  The page is streamed line by line, so the peak must not
# grow with the label's length.
#
# Usage: bench/filter_bench.sh [BUILD_DIR]   (default build-silvane-rel, a Release build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-silvane-rel}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target silvane >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
c++ -O2 -std=c++20 -Wall -Wextra bench/make_raster.cpp -o "$work/make_raster" -lcups

# A host probe that finds nothing, and a PPD with the options' plain defaults.
mkdir "$work/bin"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/cat"
chmod +x "$work/bin/cat"
cat > "$work/bench.ppd" <<'PPD'
*PPD-Adobe: "4.3"
*FormatVersion: "4.3"
*FileVersion: "1.0"
*LanguageVersion: English
*LanguageEncoding: ISOLatin1
*PCFileName: "BENCH.PPD"
*Manufacturer: "Bench"
*Product: "(Bench)"
*ModelName: "Bench"
*ShortNickName: "Bench"
*NickName: "Bench"
*OpenUI *Darkness/Darkness: PickOne
*DefaultDarkness: 11
*Darkness 11/11: ""
*CloseUI: *Darkness
PPD

# Each label is run five times; the fastest run counts.  Every run includes the fixed start-up
# (the host probe starts two or three shells), so the long label's time less the short one's
# gives the streaming speed alone.
run() {  # raster file; prints "seconds peak_kB" of the fastest of five runs
  local best="" peak=0
  for _ in 1 2 3 4 5; do
    local t0 t1
    t0=$(date +%s%N)
    PATH="$work/bin:$PATH" PPD="$work/bench.ppd" /usr/bin/time -f '%M' -o "$work/rss" \
      "$build/silvane/silvane" 1 bench label 1 "" "$1" > "$work/label.dpl" 2>/dev/null
    t1=$(date +%s%N)
    local ns=$((t1 - t0))
    if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
    local rss
    rss=$(cat "$work/rss")
    if [ "$rss" -gt "$peak" ]; then peak=$rss; fi
  done
  echo "$best $peak"
}

printf '%-8s %10s %8s %9s %12s %13s\n' label raster_MB dpl_MB seconds raster_MB/s peak_RSS_kB
declare -A secs bytes
for inches in 6 400; do
  "$work/make_raster" "$work/label-$inches.ras" 4 "$inches" 300
  read -r ns peak < <(run "$work/label-$inches.ras")
  bytes[$inches]=$((150 * inches * 300))  # 1200 dots = 150 bytes a line, uncompressed
  secs[$inches]=$ns
  awk -v n="4x$inches" -v r="${bytes[$inches]}" -v d="$(stat -c %s "$work/label.dpl")" \
      -v ns="$ns" -v m="$peak" 'BEGIN {
        printf "%-8s %10.2f %8.2f %9.4f %12.0f %13d\n", n, r / 1e6, d / 1e6, ns / 1e9,
               r / 1e6 / (ns / 1e9), m }'
done
awk -v db="$((bytes[400] - bytes[6]))" -v dt="$((secs[400] - secs[6]))" 'BEGIN {
  printf "streaming speed without start-up: %.0f raster MB/s\n", db / 1e6 / (dt / 1e9) }'

# On a busy machine wall time swings with the load; the filter's own CPU time does not.
if command -v perf >/dev/null && perf stat -e task-clock true >/dev/null 2>&1; then
  declare -A cpu
  for inches in 6 400; do
    cpu[$inches]=$(PATH="$work/bin:$PATH" PPD="$work/bench.ppd" perf stat -x, -e task-clock -r 5 \
      "$build/silvane/silvane" 1 bench label 1 "" "$work/label-$inches.ras" 2>&1 >/dev/null |
      awk -F, '/task-clock/ { print $1 }')
    echo "4x$inches CPU time: ${cpu[$inches]} ms"
  done
  awk -v db="$((bytes[400] - bytes[6]))" -v a="${cpu[6]}" -v b="${cpu[400]}" 'BEGIN {
    printf "streaming speed in CPU time: %.0f raster MB/s\n", db / 1e6 / ((b - a) / 1e3) }'
fi
