#!/bin/bash
# cups-everywhere.sh: the driverless path a desktop takes.  A private cupsd gets a queue made
# with `lpadmin -m everywhere` that points at label-printer-app, prints the sample label PDF,
# and the app's file device must receive one ZPL label.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: cups-everywhere.sh APP MAKE_PDF [LABELPREVIEW]
# Everything (the app's state, spool, log and socket; cupsd's configuration, spool and logs)
# lives in a temporary directory; both servers listen on 127.0.0.1 only and are stopped by
# their process ids, however the script ends.  Every wait is bounded.
set -euo pipefail
app=$1 make_pdf=$2 labelpreview=${3:-}
export PATH=$PATH:/usr/sbin
die() { echo "cups-everywhere: $*" >&2; exit 1; }
for tool in cupsd lpadmin lp lpstat; do command -v $tool >/dev/null || die "$tool not found"; done
serverbin=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)
datadir=$(cups-config --datadir 2>/dev/null || echo /usr/share/cups)
[ -x "$serverbin/backend/ipp" ] || die "no ipp backend in $serverbin/backend"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/app-everywhere.XXXXXX")
chmod 0755 "$tmp"
app_pid= cupsd_pid=
stop() {  # PID: SIGTERM, then SIGKILL after 5 s
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  local status=$?
  stop "$cupsd_pid"; stop "$app_pid"
  if [ $status -ne 0 ]; then
    grep '^E ' "$tmp/cups/log/error_log" 2>/dev/null | tail -n 20 >&2 || true
    echo "cups-everywhere: files kept in $tmp" >&2
  else
    rm -rf "$tmp"
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo $p; return; }
  done
  die "no free port"
}

# The printer application, with a ZPL printer writing into out/.
mkdir -p "$tmp/app" "$tmp/out"
chmod 0777 "$tmp/out"
app_port=$(free_port)
(export HOME=$tmp/app TMPDIR=$tmp/app SNAP_COMMON=$tmp/app ASAN_OPTIONS=detect_leaks=0
 exec "$app" server -o server-port="$app_port" -o listen-hostname=127.0.0.1 \
   -o log-file="$tmp/app/log" -o spool-directory="$tmp/app/spool" -o state-file="$tmp/app/state" -o file-directory="$tmp") &
app_pid=$!
for _ in $(seq 200); do [ -S "$tmp/app/label-printer-app.sock" ] && break; sleep 0.1; done
[ -S "$tmp/app/label-printer-app.sock" ] || die "the app did not start"
HOME=$tmp/app TMPDIR=$tmp/app SNAP_COMMON=$tmp/app ASAN_OPTIONS=detect_leaks=0 \
  "$app" add -d shipping -m zpl_203 -v "file://$tmp/out?ext=zpl"

# A private cupsd.
c=$tmp/cups
mkdir -p "$c"/{conf,bin,data,spool/tmp,cache,state,log,home}
chmod 0755 "$c" "$c"/{conf,bin,data,cache,state,log}
chmod 0710 "$c/spool"; chmod 1777 "$c/spool/tmp"
for d in backend filter daemon driver cgi-bin monitor notifier; do
  [ -d "$serverbin/$d" ] && ln -s "$serverbin/$d" "$c/bin/$d"
done
for f in "$datadir"/*; do ln -s "$f" "$c/data/"; done
cups_port=$(free_port)
if [ "$(id -u)" -eq 0 ]; then user=lp group=lp sysgroup=root
else user=$(id -un) group=$(id -gn) sysgroup=$(id -gn); fi
cat > "$c/conf/cups-files.conf" <<EOF
ServerRoot $c/conf
ServerBin $c/bin
DataDir $c/data
CacheDir $c/cache
StateDir $c/state
RequestRoot $c/spool
TempDir $c/spool/tmp
ServerKeychain $c/conf/ssl
AccessLog $c/log/access_log
ErrorLog $c/log/error_log
PageLog $c/log/page_log
Printcap $c/printcap
User $user
Group $group
SystemGroup $sysgroup
EOF
cat > "$c/conf/cupsd.conf" <<EOF
LogLevel debug
Listen $c/cupsd.sock
Listen 127.0.0.1:$cups_port
Browsing No
BrowseLocalProtocols none
DefaultShared No
WebInterface No
<Location />
  Order allow,deny
  Allow localhost
</Location>
EOF
export CUPS_SERVER=$c/cupsd.sock CUPS_SERVERROOT=$c/conf HOME=$c/home LANG=C LC_ALL=C
cupsd -f -c "$c/conf/cupsd.conf" -s "$c/conf/cups-files.conf" > "$c/log/cupsd.out" 2>&1 &
cupsd_pid=$!
for _ in $(seq 200); do lpstat -r 2>/dev/null | grep -q 'is running' && break; sleep 0.1; done
lpstat -r 2>/dev/null | grep -q 'is running' || die "cupsd did not start"

# The driverless queue: CUPS asks the app for its attributes and makes the queue from them.
lpadmin -p shipping -E -v "ipp://127.0.0.1:$app_port/ipp/print/shipping" -m everywhere ||
  die "lpadmin -m everywhere refused the app"
# The PPD CUPS made: its default page size must be one of its sizes, or CUPS's PDF filter
# falls back to Letter and shrinks every label on it.
# cupsd may still be writing the queue's PPD when lpadmin returns: asked until it answers.
sizes=
for _ in $(seq 100); do
  sizes=$(lpoptions -p shipping -l 2>/dev/null | sed -n 's/^PageSize[^:]*: *//p')
  [ -n "$sizes" ] && break
  sleep 0.1
done
echo "cups-everywhere: page sizes: $sizes"
echo " $sizes " | grep -q ' \*[^ ]' || die "the PPD's DefaultPageSize is not one of its sizes"
"$make_pdf" 4x6in "$tmp/label.pdf"
id=$(lp -d shipping -t driverless "$tmp/label.pdf" | sed -n 's/^request id is \([^ ]*\).*/\1/p')
[ -n "$id" ] || die "lp did not queue the job"

for _ in $(seq 600); do
  lpstat -W completed -o shipping | awk '{print $1}' | grep -qx -- "$id" && break
  lpstat -p shipping | grep -q -i "disabled\|stopped" && die "the queue stopped: $(lpstat -p shipping)"
  sleep 0.1
done
lpstat -W completed -o shipping | awk '{print $1}' | grep -qx -- "$id" || die "job $id did not complete in 60 s"
out=$(ls "$tmp/out"/*.zpl 2>/dev/null | head -n 1)
for _ in $(seq 100); do [ -n "$out" ] && [ -s "$out" ] && break; sleep 0.1; out=$(ls "$tmp/out"/*.zpl 2>/dev/null | head -n 1); done
[ -n "$out" ] && [ -s "$out" ] || die "the app's printer received nothing"
grep -a -q '\^XA' "$out" || die "the output is not ZPL"
[ "$(grep -a -o '~DG000.GRF' "$out" | wc -l)" -eq 1 ] || die "expected exactly one label in $out"
grep -a -q '\^MNW' "$out" || die "gap tracking (^MNW) missing from the job set-up"
echo "cups-everywhere: $id printed through CUPS and the app: $(wc -c < "$out") bytes of ZPL"

# Labels of other shapes come out at full size: CUPS sizes each page for the queue's 4 x 6 in
# default, and the app fills the label with it.  What the printer got is drawn by labelpreview
# and the printed part measured: at least 85 % of the label's width and length, or of the one
# its shape allows (a 4 x 8 in label on 4 x 6 in stock: its length; a Letter page: its width).
[ -n "$labelpreview" ] || exit 0
measure() {  # PBM: "WIDTH-SHARE LENGTH-SHARE" of the printed part, in percent
  /usr/bin/python3 - "$1" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
fields, at = [], 0
while len(fields) < 3:
    while data[at:at + 1].isspace():
        at += 1
    start = at
    while not data[at:at + 1].isspace():
        at += 1
    fields.append(data[start:at])
width, height = int(fields[1]), int(fields[2])
row_bytes = (width + 7) // 8
bits = data[at + 1:]
xs, ys = [], []
for y in range(height):
    row = bits[y * row_bytes:(y + 1) * row_bytes]
    if any(row):
        ys.append(y)
        xs.append(min(i * 8 + 8 - row[i].bit_length() for i in range(row_bytes) if row[i]))
        xs.append(max(i * 8 + 7 - ((row[i] & -row[i]).bit_length() - 1) for i in range(row_bytes) if row[i]))
if not ys:
    print("0 0")
else:
    print(int(100 * (max(xs) - min(xs) + 1) / width), int(100 * (max(ys) - min(ys) + 1) / height))
PY
}
for size in 4x6in 6x4in 8.5x11in 4x8in; do
  "$make_pdf" "$size" "$tmp/page-$size.pdf"
  name=size-${size%in}
  id=$(lp -d shipping -t "$name" "$tmp/page-$size.pdf" | sed -n 's/^request id is \([^ ]*\).*/\1/p')
  [ -n "$id" ] || die "lp did not queue the $size job"
  for _ in $(seq 600); do
    lpstat -W completed -o shipping | awk '{print $1}' | grep -qx -- "$id" && break
    sleep 0.1
  done
  out=$tmp/out/$name.zpl
  for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.1; done
  [ -s "$out" ] || die "the app's printer received nothing for $size"
  "$labelpreview" --format pbm -o "$tmp/out/$name" "$out" >/dev/null || die "labelpreview cannot read the $size job"
  read -r across along < <(measure "$tmp/out/$name-001.pbm")
  echo "cups-everywhere: $size printed $across % of the label's width, $along % of its length"
  [ "$size" = 8.5x11in ] || [ "$along" -ge 85 ] || die "$size: the label is printed short"
  [ "$size" = 4x8in ] || [ "$across" -ge 85 ] || die "$size: the label is printed narrow"
done
