#!/bin/bash
# check-ppds.sh: the shipped PPDs pass cupstestppd and offer what their filters can use.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: check-ppds.sh --ppd-dir DIR --torvane PATH --silvane PATH
#
# cupstestppd runs against a scratch root holding the built filters where CUPS keeps its
# filters, so it also checks that each PPD's filter exists.  Any FAIL line fails the test.
# Then, for every PPD, the options its filter reads are checked: all present, every choice
# number inside the filter's command table (a number past the end prints with no command at
# all), the defaults that print a normal label, and position texts that say the distance the
# number means (the DPL filter reads the stop distance from the text itself).

set -euo pipefail

ppd_dir= torvane= silvane=
while [ $# -gt 0 ]; do
  case $1 in
    --ppd-dir) ppd_dir=${2-}; shift 2 ;;
    --torvane) torvane=${2-}; shift 2 ;;
    --silvane) silvane=${2-}; shift 2 ;;
    *) echo "usage: check-ppds.sh --ppd-dir DIR --torvane PATH --silvane PATH" >&2; exit 2 ;;
  esac
done

command -v cupstestppd >/dev/null || { echo "cupstestppd not found: install cups-client" >&2; exit 1; }
ppds=("$ppd_dir"/*.ppd)
[ -e "${ppds[0]}" ] || { echo "no PPD files in $ppd_dir (is cups-ppdc installed?)" >&2; exit 1; }
[ ${#ppds[@]} -eq 4 ] || { echo "expected 4 PPDs in $ppd_dir, found ${#ppds[@]}" >&2; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
filterdir=$root$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)/filter
mkdir -p "$filterdir"
for f in "$torvane" "$silvane"; do
  [ -n "$f" ] && [ -x "$f" ] && install -m 0755 "$f" "$filterdir/"
done

failed=0
for ppd in "${ppds[@]}"; do
  out=$(cupstestppd -R "$root" "$ppd" 2>&1) || true
  if printf '%s\n' "$out" | grep -q 'FAIL'; then
    printf '%s\n' "$out" >&2
    failed=1
  fi
done

# The options each filter reads: choice numbers allowed, the default, and how the display
# text of a position choice relates to its number ("" when it does not).
#   option  lowest highest default centre
zpl_options="
MediaType        0 2  0  -
PageType         0 2  2  -
ImageControl     0 1  0  -
OutMode          0 3  0  -
Darkness         0 30 15 -
PrintPosition    0 40 20 20
TearoffPosition  0 40 20 20
PrintMirror      0 1  0  -
Inverse          0 1  0  -
PrintSpeed       0 11 0  -
Pause            0 2  0  -
GraphicEncoding  0 1  0  -"
dpl_options="
PrintType        0 2  0  -
PageType         0 3  0  -
OutMode          0 5  0  -
ImageControl     0 1  0  -
Darkness         0 31 0  -
PrintPosition    0 33 0  17
OutPaperPosition 0 41 0  21"

for ppd in "${ppds[@]}"; do
  case $(sed -n 's/^\*cupsFilter2\{0,1\}: *"[^"]* \([^ "]*\)"$/\1/p' "$ppd") in
    torvane) options=$zpl_options ;;
    silvane) options=$dpl_options ;;
    *) echo "$ppd: no torvane or silvane filter line" >&2; failed=1; continue ;;
  esac
  grep -q '^\*cupsManualCopies: True' "$ppd" ||
    { echo "$ppd: copies must be made by CUPS (the filters print each page once)" >&2; failed=1; }
  grep -q '^\*ColorDevice: False' "$ppd" || { echo "$ppd: not a black-only device" >&2; failed=1; }
  grep -q 'cupsBitsPerColor 1/.*cupsColorSpace 3>>' "$ppd" ||
    { echo "$ppd: does not ask for one-bit black raster" >&2; failed=1; }

  # Reads the PPD's choice lines (*Option keyword/Text: "...") and its *DefaultOption lines.
  if ! LC_ALL=C awk -v ppd="$ppd" -v wanted="$options" '
    function problem(msg) { print ppd ": " msg > "/dev/stderr"; bad = 1 }
    function number(keyword) { return keyword ~ /^[0-9]/ ? keyword + 0 : 0 }
    BEGIN {
      n = split(wanted, lines, "\n")
      for (i = 1; i <= n; i++) {
        if (split(lines[i], f, " ") != 5) continue
        lo[f[1]] = f[2]; hi[f[1]] = f[3]; def[f[1]] = f[4]; centre[f[1]] = f[5]
      }
    }
    /^\*Default[A-Za-z]+:/ {
      name = substr($1, 9); sub(/:$/, "", name)
      if (name in lo) defaults[name] = $2
      next
    }
    /^\*[A-Za-z]+ [^:]*:/ {
      name = substr($1, 2)
      if (!(name in lo)) next
      line = $0; sub(/^\*[A-Za-z]+ /, "", line); sub(/: ".*$/, "", line)
      keyword = line; text = ""
      if (index(line, "/")) { keyword = substr(line, 1, index(line, "/") - 1); text = substr(line, index(line, "/") + 1) }
      k = number(keyword); seen[name]++
      # 99 is outside every command table: the filter sends nothing for that option.
      if (k == 99 && text == "Printer setting") next
      if (k < lo[name] || k > hi[name]) problem(name " choice " keyword " is outside " lo[name] ".." hi[name])
      if (centre[name] != "-" && !(text == "Printer setting" && k == 0)) {
        if (text !~ /^[-+]?[0-9]+(\.[0-9]+)? mm/) problem(name " choice " keyword ": text \"" text "\" does not begin with a distance in mm")
        else if (text + 0 != (k - centre[name]) / 2) problem(name " choice " keyword " says " text ", the filter moves " (k - centre[name]) / 2 " mm")
        if (name == "OutPaperPosition" && text !~ /mm$/) problem(name " choice " keyword ": text must end in mm")
      }
    }
    END {
      for (name in lo) {
        if (!seen[name]) { problem("option " name " missing"); continue }
        if (!(name in defaults)) problem("option " name " has no default")
        else if (number(defaults[name]) != def[name]) problem(name " defaults to " defaults[name] ", not " def[name])
      }
      exit bad
    }' "$ppd"; then
    failed=1
  fi
done

[ $failed -eq 0 ] && echo "all ${#ppds[@]} PPDs pass cupstestppd and match their filters"
exit $failed
