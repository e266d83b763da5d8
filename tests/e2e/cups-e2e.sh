#!/bin/bash
# cups-e2e.sh: prints label PDFs through a private CUPS scheduler and checks what each printer got.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: cups-e2e.sh --torvane PATH --silvane PATH [--labelpreview PATH]
#                    --ppd-dir DIR --make-pdf PATH [--save DIR] [--keep]
#
# Starts a cupsd of its own in a temporary directory (configuration, spool, cache, state and
# logs all there; listening on a socket in that directory and on a free 127.0.0.1 port), adds
# one queue with a file: device for every PPD in DIR, prints generated label PDFs with lp and
# job options, and checks for every job:
#   - the job completed (a stopped job or printer fails at once, a slow one after a timeout);
#   - the printer commands the options ask for are in the output, and the job preamble is
#     exactly what the PPD's defaults and the options make;
#   - with labelpreview: every label decodes to the page size asked for, with the same pixels
#     as the filter run by hand on the raster cupsfilter makes from the same PDF and PPD.
# The system's own CUPS configuration, spool and service are never touched.  cupsd is stopped
# by its process id when the script ends, however it ends.
#
# --save DIR keeps what each printer received (DIR/QUEUE-N.prn) and, with labelpreview, a PNG
# of every label (DIR/QUEUE-N-001.png, ...): a label printed through CUPS without a printer.
# --keep leaves the whole temporary directory (logs, spool, rasters) in place.

set -euo pipefail

usage() {
  echo "usage: cups-e2e.sh --torvane PATH --silvane PATH [--labelpreview PATH]" \
       "--ppd-dir DIR --make-pdf PATH [--save DIR] [--keep]" >&2
  exit 2
}

torvane= silvane= labelpreview= ppd_dir= make_pdf= save= keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --torvane) torvane=${2-}; shift 2 ;;
    --silvane) silvane=${2-}; shift 2 ;;
    --labelpreview) labelpreview=${2-}; shift 2 ;;
    --ppd-dir) ppd_dir=${2-}; shift 2 ;;
    --make-pdf) make_pdf=${2-}; shift 2 ;;
    --save) save=${2-}; shift 2 ;;
    --keep) keep=1; shift ;;
    *) usage ;;
  esac
done
[ -n "$ppd_dir" ] && [ -n "$make_pdf" ] || usage
if [ -n "$save" ]; then
  mkdir -p "$save"
  save=$(cd "$save" && pwd)
fi

die() { echo "e2e: $*" >&2; exit 1; }

# A job may take a while under the sanitizers and on a loaded CI machine; a stopped job is
# noticed at once, so this only bounds a hang.
JOB_TIMEOUT=${E2E_JOB_TIMEOUT:-60}

for tool in cupsd lpadmin lp lpstat lpinfo cupsfilter od cmp; do
  command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] ||
    die "$tool not found: install cups, cups-daemon and cups-client"
done
export PATH=$PATH:/usr/sbin

serverbin=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)
datadir=$(cups-config --datadir 2>/dev/null || echo /usr/share/cups)
[ -x "$serverbin/daemon/cups-exec" ] || die "no $serverbin/daemon/cups-exec: install cups-daemon"
[ -x "$serverbin/filter/gstoraster" ] || [ -x "$serverbin/filter/pdftoraster" ] ||
  die "no PDF rasteriser in $serverbin/filter: install cups-filters and ghostscript"

# Each PPD names its filter; every one must have been built.
declare -A filter_path=([torvane]=$torvane [silvane]=$silvane)
ppds=("$ppd_dir"/*.ppd)
[ -e "${ppds[0]}" ] || die "no PPD files in $ppd_dir (is cups-ppdc installed?)"
for ppd in "${ppds[@]}"; do
  name=$(sed -n 's/^\*cupsFilter2\{0,1\}: *"[^"]* \([^ "]*\)"$/\1/p' "$ppd" | head -n 1)
  [ -n "$name" ] || die "$ppd names no filter"
  [ -n "${filter_path[$name]+set}" ] || die "$ppd names an unknown filter $name"
  [ -x "${filter_path[$name]}" ] || die "$ppd needs $name, which is not built (${filter_path[$name]:-no path given})"
done
if [ -n "$labelpreview" ] && [ ! -x "$labelpreview" ]; then
  die "labelpreview given but not built: $labelpreview"
fi

# ---------------------------------------------------------------------------------------------
# The private scheduler.
#
# Filters run as the user lp, so the directory must be readable by everyone and the filters
# and their directory owned by root (when running as root) and writable by nobody else.

tmp=$(mktemp -d "${TMPDIR:-/tmp}/labelfilters-e2e.XXXXXX")
chmod 0755 "$tmp"
. "$(dirname "$0")/private-cupsd.sh"

cleanup() {
  local status=$?
  stop_cupsd
  if [ $status -ne 0 ] && [ -f "$tmp/log/error_log" ]; then
    echo "---- errors in the scheduler's log ($tmp/log/error_log) ----" >&2
    grep '^E ' "$tmp/log/error_log" | tail -n 20 >&2 || true
  fi
  if [ $keep -eq 1 ] || [ $status -ne 0 ]; then
    echo "e2e: files kept in $tmp" >&2
  else
    rm -rf "$tmp"
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$tmp"/{conf,bin/filter,bin/backend,bin/daemon,bin/driver,data,spool/tmp,cache,state,log,out,work,home}
chmod 0755 "$tmp"/{conf,bin,bin/filter,bin/backend,bin/daemon,bin/driver,data,cache,state,log,out}
chmod 0710 "$tmp/spool"
chmod 1777 "$tmp/spool/tmp"

# Server binaries: CUPS's own helpers and filters, and copies of ours.
shopt -s nullglob
for f in "$serverbin"/daemon/* "$serverbin"/filter/* "$serverbin"/driver/*; do
  ln -s "$f" "$tmp/bin/${f#"$serverbin"/}"
done
shopt -u nullglob
for name in torvane silvane; do
  [ -n "${filter_path[$name]}" ] || continue
  rm -f "$tmp/bin/filter/$name"
  cp "${filter_path[$name]}" "$tmp/bin/filter/$name"
  chmod 0755 "$tmp/bin/filter/$name"
done

# Data directory: CUPS's own, with our PPDs as a driver folder, so that lpinfo -m lists them
# and lpadmin -m takes them by name, as on an installed system.
for f in "$datadir"/*; do
  [ "$(basename "$f")" = model ] || ln -s "$f" "$tmp/data/"
done
mkdir -p "$tmp/data/model/labelfilters"
cp "${ppds[@]}" "$tmp/data/model/labelfilters/"
chmod 0755 "$tmp/data/model" "$tmp/data/model/labelfilters"
chmod 0644 "$tmp/data/model/labelfilters"/*.ppd

port=$(free_port)

run_user=$(id -un)
run_group=$(id -gn)
if [ "$(id -u)" -eq 0 ]; then
  filter_user=lp filter_group=lp system_group=root
else
  filter_user=$run_user filter_group=$run_group system_group=$run_group
fi

socket=$tmp/cupsd.sock
write_cupsd_conf "$tmp" "$socket" "$port" "$filter_user" "$filter_group" "$system_group"
# Our filters among CUPS's own, our PPDs among its data.
printf 'ServerBin %s\nDataDir %s\n' "$tmp/bin" "$tmp/data" >> "$tmp/conf/cups-files.conf"

# Clients talk to this scheduler only, with no lpoptions or client.conf of the caller's.
export CUPS_SERVER=$socket
export CUPS_SERVERROOT=$tmp/conf
export HOME=$tmp/home
export LANG=C LC_ALL=C
unset CUPS_ENCRYPTION CUPS_USER PRINTER LPDEST 2>/dev/null || true

start_cupsd "$tmp"
echo "e2e: cupsd $cupsd_pid on $socket and 127.0.0.1:$port"

# The TCP listener answers too.
lpstat -h "127.0.0.1:$port" -r | grep -q 'is running' || die "cupsd does not answer on 127.0.0.1:$port"

# ---------------------------------------------------------------------------------------------
# Queues: one per PPD, found by lpinfo -m under its driver name.

models=$(lpinfo -m)
for ppd in "${ppds[@]}"; do
  base=$(basename "$ppd" .ppd)
  model=$(printf '%s\n' "$models" | awk -v want="$base.ppd" '{ n = split($1, p, "/"); if (p[n] == want && $1 ~ /labelfilters\//) { print $1; exit } }')
  [ -n "$model" ] || die "lpinfo -m does not list $base.ppd"
  # -E enables the queue only after -p has named it (before -p it asks for encryption).
  # lpadmin's notice that PPD drivers are deprecated is left out unless lpadmin fails.
  reply=$(lpadmin -p "$base" -v "file://$tmp/out/$base.prn" -m "$model" -E 2>&1) ||
    die "lpadmin refused the queue $base: $reply"
done
echo "e2e: queues $(lpstat -e | tr '\n' ' ')"

# ---------------------------------------------------------------------------------------------
# Jobs.

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# bytes TEXT: the text with \ooo octal escapes and \r turned into bytes.
bytes() { printf '%b' "$1"; }

# contains FILE NEEDLE: true when FILE holds the bytes of NEEDLE (escapes as for bytes).
contains() { grep -q -a -F -- "$(bytes "$2")" "$1"; }

# count FILE NEEDLE: how often the bytes of NEEDLE occur in FILE.
count() { grep -a -o -F -- "$(bytes "$2")" "$1" | wc -l; }

# starts_with FILE TEXT: FILE begins with TEXT (escapes as for bytes), after the 512 zero
# bytes some hosts get in front of a job.
starts_with() {
  local file=$1 want skip=0
  want=$(mktemp "$tmp/work/want.XXXXXX")
  bytes "$2" > "$want"
  if [ "$(head -c 512 "$file" | od -An -v -tx1 | tr -d ' \n' | tr -d 0)" = "" ] &&
     [ "$(wc -c < "$file")" -ge 512 ]; then
    skip=512
  fi
  cmp -s -n "$(wc -c < "$want")" "$want" <(tail -c +$((skip + 1)) "$file")
}

# header_field RASTER OFFSET: a 32-bit field of the first page header of a CUPS raster
# stream, in the byte order its sync word gives.
header_field() {
  local endian=little
  [ "$(head -c 3 "$1")" = RaS ] && endian=big
  od -An -tu4 --endian=$endian -j "$2" -N 4 "$1" | tr -d ' '
}

# wait_job QUEUE ID: waits until the job has completed; fails at once when it stops.
wait_job() {
  local queue=$1 id=$2 deadline=$((SECONDS + JOB_TIMEOUT))
  local jobnum=${id##*-}
  while [ $SECONDS -lt $deadline ]; do
    if lpstat -W completed -o "$queue" | awk '{ print $1 }' | grep -qx -- "$id"; then
      grep -q "\[Job $jobnum\] Job completed\." "$tmp/log/error_log" && return 0
      fail "$id ended without completing"; return 1
    fi
    if grep -q "\[Job $jobnum\] Job stopped" "$tmp/log/error_log" ||
       lpstat -p "$queue" | grep -q disabled; then
      # The filter's own error lines, and a sanitizer's report, which CUPS logs as debug.
      fail "$id stopped (processing-stopped):" \
           "$(grep -E "^(E .*\[Job $jobnum\]|D .*\[Job $jobnum\] .*(Sanitizer|runtime error))" \
                "$tmp/log/error_log" | sed 's/^[DE] \[[^]]*\] //' | head -n 8)"
      return 1
    fi
    sleep 0.02
  done
  fail "$id did not complete within $JOB_TIMEOUT s"
  return 1
}

# nominal_dots POINTS DPI: the size in dots that a length in points makes.
nominal_dots() { awk -v p="$1" -v d="$2" 'BEGIN { printf "%d", p * d / 72 + 0.5 }'; }

# near A B: the two dot counts differ by at most 2 (rounding of millimetre sizes).
near() { [ $(( $1 > $2 ? $1 - $2 : $2 - $1 )) -le 2 ]; }

# pbm_size FILE: "WIDTH HEIGHT" of a binary PBM.
pbm_size() { head -c 64 "$1" | tr '\n' ' ' | awk '{ print $2, $3 }'; }

timings=()

# print_job QUEUE PDF WIDTHPT HEIGHTPT LABELS [copies=N] OPTION...: prints the PDF on the
# queue with the job options, waits, and checks the labels and their size against the filter
# run by hand.  The printer's bytes are left in the file named by $job_out.
job_out=
print_job() {
  local queue=$1 pdf=$2 wpt=$3 hpt=$4 labels=$5
  shift 5
  local ppd=$tmp/conf/ppd/$queue.ppd
  local filter dpi copies=1 lp_args=() opts=() o
  filter=$(sed -n 's/^\*cupsFilter2\{0,1\}: *"[^"]* \([^ "]*\)"$/\1/p' "$ppd" | head -n 1)
  dpi=$(sed -n 's/^\*DefaultResolution: *\([0-9]*\)dpi.*/\1/p' "$ppd")
  for o in "$@"; do
    case $o in
      copies=*) copies=${o#copies=} ;;
      *) lp_args+=(-o "$o"); opts+=("$o") ;;
    esac
  done

  local start end reply id
  start=$(date +%s.%N)
  reply=$(lp -d "$queue" -n "$copies" "${lp_args[@]}" "$pdf") || { fail "lp refused a job for $queue"; return 1; }
  id=$(printf '%s\n' "$reply" | sed -n 's/^request id is \([^ ]*\) .*/\1/p')
  [ -n "$id" ] || { fail "lp gave no job id: $reply"; return 1; }
  wait_job "$queue" "$id" || return 1
  end=$(date +%s.%N)
  timings+=("$id $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')")

  job_out=$tmp/work/$id.prn
  cp "$tmp/out/$queue.prn" "$job_out"
  [ -s "$job_out" ] || { fail "$id: the printer received nothing"; return 1; }
  if [ -n "$save" ]; then
    cp "$job_out" "$save/$id.prn"
    [ -z "$labelpreview" ] ||
      "$labelpreview" --dpi "$dpi" -o "$save/$id" "$job_out" > /dev/null ||
      fail "$id: labelpreview cannot write PNGs of the job"
  fi

  # The same PDF through cupsfilter to raster, then through the filter by hand.
  local raster=$tmp/work/$id.ras hand=$tmp/work/$id.hand
  cupsfilter -c "$tmp/conf/cups-files.conf" -p "$ppd" -m application/vnd.cups-raster \
    -n "$copies" "${lp_args[@]}" "$pdf" > "$raster" 2>"$tmp/work/$id.cupsfilter.log" ||
    { fail "$id: cupsfilter failed to make a raster"; return 1; }
  if ! PPD=$ppd "${filter_path[$filter]}" 1 e2e e2e 1 "${opts[*]}" "$raster" \
       > "$hand" 2> "$tmp/work/$id.hand.log"; then
    fail "$id: $filter run by hand failed: $(tail -n 3 "$tmp/work/$id.hand.log")"; return 1
  fi

  # The raster's page size is the size asked for.
  local rw rh bpl ew eh
  rw=$(header_field "$raster" 376)
  rh=$(header_field "$raster" 380)
  bpl=$(header_field "$raster" 396)
  ew=$(nominal_dots "$wpt" "$dpi")
  eh=$(nominal_dots "$hpt" "$dpi")
  near "$rw" "$ew" && near "$rh" "$eh" ||
    fail "$id: raster page is ${rw}x${rh} dots, asked for about ${ew}x${eh}"

  if [ -z "$labelpreview" ]; then
    cmp -s "$job_out" "$hand" || fail "$id: printer bytes differ from $filter run by hand"
    return 0
  fi

  # Every label decodes, to the page's size, with the same pixels as the job made by hand.
  local got want n=0 f size lw
  "$labelpreview" --format pbm -o "$tmp/work/$id-cups" "$job_out" > /dev/null 2>"$tmp/work/$id.preview.log" ||
    { fail "$id: labelpreview cannot decode the job: $(tail -n 2 "$tmp/work/$id.preview.log")"; return 1; }
  "$labelpreview" --format pbm -o "$tmp/work/$id-hand" "$hand" > /dev/null 2>>"$tmp/work/$id.preview.log" ||
    { fail "$id: labelpreview cannot decode the job made by hand"; return 1; }
  # A DPL label is as wide as its raster lines' bytes hold.
  lw=$rw
  [ "$filter" = silvane ] && lw=$((bpl * 8))
  for f in "$tmp/work/$id-cups"-*.pbm; do
    [ -e "$f" ] || break
    n=$((n + 1))
    size=$(pbm_size "$f")
    [ "$size" = "$lw $rh" ] || fail "$id: label $n is $size dots, the page is $lw $rh"
    cmp -s "$f" "${f/-cups-/-hand-}" || fail "$id: label $n differs from the one made by hand"
  done
  [ "$n" -eq "$labels" ] || fail "$id: $n labels decoded, expected $labels"
  got=$(ls "$tmp/work/$id-hand"-*.pbm 2>/dev/null | wc -l)
  [ "$got" -eq "$labels" ] || fail "$id: $got labels made by hand, expected $labels"
}

pdf() { "$make_pdf" "$1" "$tmp/work/label-$1.pdf"; echo "$tmp/work/label-$1.pdf"; }
pdf_4x6=$(pdf 4x6in)
pdf_2x1=$(pdf 2x1in)
pdf_60x40=$(pdf 60x40mm)
pdf_4x10=$(pdf 4x10in)
chmod 0644 "$tmp"/work/*.pdf

STX='\002' CR='\r'

for ppd in "${ppds[@]}"; do
  queue=$(basename "$ppd" .ppd)
  case $queue in
    zpl203)
      # Defaults of the PPD with darkness and speed chosen: the whole preamble is known.
      if print_job "$queue" "$pdf_4x6" 288 432 1 Darkness=20 PrintSpeed=3 media=w288h432; then
        starts_with "$job_out" '\020CT~~CD,~CC^~CT~^XA~TA000~JSN^LT0^MNW^PON^PMN^LH0,0^JMA^PR4,4~SD20^JUS^LRN^CI0^XZ' ||
          fail "$queue: preamble is not the one the PPD defaults and Darkness=20 PrintSpeed=3 make"
        contains "$job_out" '^XA^MMT^PW812^LL1218^LS0^FT0,1248^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ' ||
          fail "$queue: no 4x6 in label format (812 x 1218 dots, tear-off, no pause)"
      fi
      # Copies are made by CUPS: two labels, each printed once.
      if print_job "$queue" "$pdf_2x1" 144 72 2 copies=2 media=w144h72; then
        [ "$(count "$job_out" '^XG000.GRF,1,1')" -eq 2 ] || fail "$queue: -n 2 did not print two labels"
        contains "$job_out" '~SD15' || fail "$queue: default darkness 15 not sent"
        contains "$job_out" '^PW406^LL203' || fail "$queue: no 2x1 in label (406 x 203 dots)"
      fi
      ;;
    zpl300)
      # Millimetre stock and every other option away from its default.
      if print_job "$queue" "$pdf_60x40" 170.08 113.39 1 media=w170h113 Darkness=25 \
           TearoffPosition=24 PrintPosition=10 MediaType=1 PageType=1 ImageControl=1 \
           PrintMirror=1 OutMode=3 Pause=2 Inverse=1 PrintSpeed=11; then
        starts_with "$job_out" '\020CT~~CD,~CC^~CT~^XA~TA024~JSN^LT-60^MNM^MTD^POI^PMY^LH0,0^JMA^PR12,62~SD25^JUS^LRN^CI0^XZ' ||
          fail "$queue: preamble does not carry the options at 300 dpi"
        contains "$job_out" '^XA^MMC^PW' || fail "$queue: cutter mode missing"
        contains "$job_out" '^LRY^FO0,0^GB' || fail "$queue: negative print box missing"
        contains "$job_out" '^PQ1,1,1,N^XZ' || fail "$queue: pause after every label missing"
      fi
      ;;
    dpl203)
      # Defaults of the PPD with a heat chosen: preamble and page start are known.
      if print_job "$queue" "$pdf_2x1" 144 72 1 Darkness=11 media=w144h72; then
        starts_with "$job_out" "\001D${CR}${STX}N${CR}${STX}A1${CR}${STX}JE1${CR}${STX}u0${CR}${STX}c0203${CR}${STX}Kw0408${CR}${STX}j23000${CR}${STX}JY0000${CR}${STX}L${CR}H10${CR}1Y1199900000000${CR}\000\000\000\000\000" ||
          fail "$queue: preamble is not the one the PPD defaults and Darkness=11 make"
      fi
      # A mode that ends the job at the stop position: 2.5 mm from the choice's text.
      if print_job "$queue" "$pdf_4x6" 288 432 1 media=w288h432 OutMode=4Cutter000 OutPaperPosition=26; then
        contains "$job_out" "${STX}c1218${CR}${STX}Kw0816${CR}${STX}j23030${CR}" ||
          fail "$queue: no 4x6 in label size and mode 4"
        contains "$job_out" "${STX}Kf" && fail "$queue: stop distance sent in mode 4"
        [ "$(tail -c 7 "$job_out" | od -An -c | tr -d ' \n')" = '002JP020\r' ] ||
          fail "$queue: job does not end with the stop position 20 dots"
      fi
      ;;
    dpl300)
      # A custom size: a 4 x 10 in continuous label.
      if print_job "$queue" "$pdf_4x10" 288 720 1 media=Custom.4x10in PrintPosition=21 \
           OutMode=1 OutPaperPosition=26 PageType=3 PrintType=2 Darkness=31; then
        starts_with "$job_out" "\001D${CR}${STX}N${CR}${STX}A1${CR}${STX}JE1${CR}${STX}j28080${CR}${STX}j24040${CR}${STX}u0${CR}${STX}c3000${CR}${STX}Kw1200${CR}${STX}j23020${CR}${STX}Kf30${CR}${STX}JY0024${CR}${STX}L${CR}H30${CR}" ||
          fail "$queue: preamble does not carry the options at 300 dpi"
      fi
      ;;
    *)
      print_job "$queue" "$pdf_4x6" 288 432 1 media=w288h432 || true
      ;;
  esac
done

echo "e2e: lp to completed, per job:"
for t in "${timings[@]}"; do echo "  $t s"; done
[ -n "$labelpreview" ] || echo "e2e: labelpreview not built: compared printer bytes only"

if [ $failures -ne 0 ]; then
  echo "e2e: $failures check(s) failed" >&2
  exit 1
fi
echo "e2e: all ${#ppds[@]} queues printed as asked"
[ -z "$save" ] || echo "e2e: printer output${labelpreview:+ and PNG previews} saved in $save"
