#!/bin/bash
# preview-page.sh: time whole requests for the Label Preview page and its label image of a
# 4 x 6 in raw ZPL carrier label, for label-printer-app.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: bench/preview-page.sh APP [RUNS]
#   APP   the label-printer-app binary (its label-render beside it, as in the build tree)
#   RUNS  requests of each kind (default 20)
# Starts the app on 127.0.0.1 and a free port with everything in a temporary directory, adds a
# ZPL 203 dpi printer with a file: device, prints the carrier label as raw ZPL, then GETs
# /z/preview and /z/preview.png?job=N&label=1 RUNS times each with curl, one after another,
# then both RUNS times from four clients at once.
# Prints the median and the slowest in milliseconds, and the server's peak RSS (VmHWM).
set -euo pipefail
app=$1 runs=${2:-20}
base=$(basename "$app")
tmp=$(mktemp -d)
export HOME=$tmp TMPDIR=$tmp SNAP_COMMON=$tmp
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$app" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o log-file="$tmp/log" \
  -o spool-directory="$tmp/spool" -o state-file="$tmp/state" -o file-directory="$tmp" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 100); do [ -S "$tmp/$base.sock" ] && break; sleep 0.05; done
mkdir -p "$tmp/out"
"$app" add -d z -m zpl_203 -v "file://$tmp/out?ext=zpl" >/dev/null

cat > "$tmp/carrier.zpl" <<'ZPL'
^XA^PW812^LL1218^CI28
^FO20,20^GB772,1178,4^FS
^FO40,40^A0N,30^FDSHIP FROM: WAREHOUSE 7, 12 DOCK ROAD^FS
^FO40,80^A0N,30^FDSPRINGFIELD IL 62701^FS
^FO40,130^A0N,50^FDSHIP TO: ACME CORP^FS
^FO40,190^A0N,40^FD634 ALPHA DR, PITTSBURGH PA 15238^FS
^FO20,250^GB772,3,3^FS
^FO60,280^BD2,1,1^FH^FD001840152382802_5B)>_1E01_1D961Z00004951_1DUPSN_1D06X610_1D159_1D1234567_1D1/1_1D_1DY_1D634 ALPHA DR_1DPITTSBURGH_1DPA_1E_04^FS
^FO330,300^A0N,80^FDPA 152 9-02^FS
^FO330,400^BY3^BCN,100,N,N,N^FD>;>842015238^FS
^FO20,540^GB772,3,3^FS
^FO40,560^A0N,60^FDUPS GROUND^FS^FO40,630^A0N,30^FDTRACKING #: 1Z 000 049 51 0000 4951^FS
^FO40,690^BY3^BCN,200,N,N,N^FD1Z00004951^FS
^FO20,920^GB772,80,80^FS^FO40,935^FR^A0N,50^FDBILLING: P/P  REF: ORDER 4711^FS
^FO40,1020^B7N,4,3,8,,N^FDREF 4711 PALLET 1 OF 1 WEIGHT 12.5 KG^FS
^FO500,1030^ADN,36,20^FDDWT 12^FS
^XZ
ZPL
"$app" submit -d z -t carrier "$tmp/carrier.zpl" >/dev/null
for _ in $(seq 600); do
  "$app" jobs -d z | grep -q "completed.* carrier\$" && break
  sleep 0.02
done
"$app" jobs -d z | grep -q "completed.* carrier\$" || { echo "the carrier label did not print"; exit 1; }
job=$(grep -o 'preview.png?job=[0-9]*' <(curl -s "http://127.0.0.1:$port/z/preview") | head -1 | cut -d= -f2)
[ -n "$job" ] || { echo "the preview page shows no label"; exit 1; }

stats() { sort -n | awk '{a[NR]=$1} END {printf "median %.1f ms, slowest %.1f ms", a[int((NR+1)/2)], a[NR]}'; }
time_get() {  # PATH KIND
  local times=()
  for _ in $(seq "$runs"); do
    times+=("$(curl -s -o "$tmp/body" -w '%{http_code} %{time_total}' "http://127.0.0.1:$port$1" |
               awk '$1 == 200 {printf "%.1f\n", $2 * 1000} $1 != 200 {print "failed"}')")
  done
  printf '%s: %s over %s requests\n' "$2" "$(printf '%s\n' "${times[@]}" | grep -v failed | stats)" "$runs"
  if printf '%s\n' "${times[@]}" | grep -q failed; then echo "$2: some requests failed"; fi
}
time_get /z/preview "preview page"
time_get "/z/preview.png?job=$job&label=1" "label image"
# Four clients at once, each asking for the page and the image RUNS / 4 times: the wall time.
start=$(date +%s%N)
seq $((runs / 4 * 4)) | xargs -P 4 -I{} sh -c \
  "curl -s -o /dev/null http://127.0.0.1:$port/z/preview &&
   curl -s -o /dev/null 'http://127.0.0.1:$port/z/preview.png?job=$job&label=1'"
printf 'page and image, 4 clients at once: %s pairs in %.1f ms\n' "$((runs / 4 * 4))" \
  "$(echo "($(date +%s%N) - $start) / 1000000" | bc -l)"
grep VmHWM "/proc/$pid/status"
