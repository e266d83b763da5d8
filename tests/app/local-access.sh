#!/bin/bash
# local-access.sh: a local user who is not an administrator, against a server run as root.
# Usage: local-access.sh APP
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# The server runs as root with its socket in a temporary directory; uid 65534 (no groups)
# stands for an ordinary local user.
# 1. The local socket is the administrators' only (0660 for the admin group, or 0600); through
#    it root adds and changes printers, the other user changes nothing.
# 2. A socket that the other user can reach anyway (made world-writable here, as PAPPL makes
#    it): its changes are still refused, by the peer's credentials.
# 3. Over loopback TCP the other user prints and queries, and cannot change the printer or
#    cancel root's job; root can.
# 4. File devices: only inside the server's file directory, whoever asks; a link put in place
#    after the printer was added is found when the job opens the device.
# Exit 77 (skipped) when not run as root or without setpriv.
set -euo pipefail
app=$1
here=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (a second uid)" >&2; exit 77; }
command -v setpriv >/dev/null || { echo "SKIP: needs setpriv" >&2; exit 77; }

tmp=$(mktemp -d)
chmod 755 "$tmp"
mkdir -m 755 "$tmp/out"
pid=
cleanup() { [ -z "$pid" ] || { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }; rm -rf "$tmp"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$tmp/log" ] && tail -20 "$tmp/log" >&2; exit 1; }

export SNAP_COMMON="$tmp" TMPDIR="$tmp" HOME="$tmp" ASAN_OPTIONS=detect_leaks=0
other=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/nonexistent)
sock="$tmp/label-printer-app.sock"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
uri="ipp://127.0.0.1:$port/ipp/print/z"

"$app" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o log-file="$tmp/log" -o log-level=info \
  -o spool-directory="$tmp/spool" -o state-file="$tmp/state" -o file-directory="$tmp/out" </dev/null >/dev/null 2>&1 &
pid=$!
# The socket is restricted at the server's first tick.
for _ in $(seq 200); do
  [ -S "$sock" ] && [ $((8#$(stat -c %a "$sock") & 8#007)) -eq 0 ] && break
  sleep 0.05
done
[ -S "$sock" ] || fail "the server did not start"

ipp_status() {  # ipptool arguments... → the status-code of the (one) request
  ipptool -T 10 -tv "$@" 2>&1 | sed -n 's/^ *status-code = \([a-z-]*\).*/\1/p' | head -1 || true
}
sed '/STATUS/d' "$here/set-attributes.test" >"$tmp/set.test"
# The other user runs a copy of the program and of the IPP test files: the build and source
# trees may be private to root (a package build's are).
mkdir -m 755 "$tmp/bin" "$tmp/ipp"
cp "$app" "$tmp/bin/label-printer-app"
cp "$here/print-job.test" "$here/get-attributes.test" "$here/cancel-job.test" "$tmp/ipp/"
chmod -R a+rX "$tmp/bin" "$tmp/ipp" "$tmp/set.test"
client=$tmp/bin/label-printer-app
mode() { grep -o 'label-mode-configured [a-z-]*' "$tmp/state" 2>/dev/null | head -1 || true; }
wait_mode() {  # MODE: true once the state file holds it (10 s at most)
  for _ in $(seq 100); do [ "$(mode)" = "label-mode-configured $1" ] && return; sleep 0.1; done
  false
}

# 1. The socket.
perms=$(stat -c %a "$sock")
case $perms in 600|660) ;; *) fail "the local socket is $perms" ;; esac
"$app" add -d z -m zpl_203 -v "file://$tmp/out?ext=zpl" >/dev/null || fail "root could not add a printer"
"$app" modify -d z -o label-mode-configured=peel-off >/dev/null || fail "root could not change the printer"
wait_mode peel-off || fail "root's change was not saved: $(mode)"
for cmd in "modify -d z -o label-mode-configured=rewind" "delete -d z" "add -d y -m zpl_203 -v file://$tmp/out?ext=prn"; do
  # shellcheck disable=SC2086
  if timeout 30 "${other[@]}" "$client" $cmd >/dev/null 2>&1; then fail "uid 65534 could: $cmd"; fi
done

# 2. The same socket, reachable by everyone: the peer's credentials still decide.
chmod 666 "$sock"
for cmd in "modify -d z -o label-mode-configured=rewind" "delete -d z" "add -d y -m zpl_203 -v file://$tmp/out?ext=prn"; do
  # shellcheck disable=SC2086
  if timeout 30 "${other[@]}" "$client" $cmd >/dev/null 2>&1; then fail "uid 65534 could through an open socket: $cmd"; fi
done
grep -q "Refused a change from local user [0-9]*, not an administrator" "$tmp/log" ||
  fail "the socket refusals are not logged"
"$app" printers | grep -qx z || fail "the printer went"
"$app" printers | grep -qx y && fail "uid 65534 added a printer"
[ "$(mode)" = "label-mode-configured peel-off" ] || fail "uid 65534 changed the printer: $(mode)"

# 3. Loopback TCP.
printf '^XA^FO20,20^A0N,30,30^FDlocal^FS^XZ\n' >"$tmp/job.zpl"
chmod 644 "$tmp/job.zpl"
[ "$(ipp_status "$uri" "$tmp/set.test")" = successful-ok ] || fail "root's change over loopback was refused"
wait_mode cutter || fail "root's change over loopback was not saved: $(mode)"
"$app" modify -d z -o label-mode-configured=peel-off >/dev/null
wait_mode peel-off || fail "root's change back was not saved"
got=$(ipp_status -d format=application/vnd.zebra-zpl -d jobname=theirs -f "$tmp/job.zpl" "$uri" "$here/print-job.test")
[ "$got" = successful-ok ] || fail "root could not print over loopback: $got"
# root's own job, through the socket (owned by "root").
rootjob=$("$app" submit -d z -t roots "$tmp/job.zpl" | sed 's/^z-//')
got=$("${other[@]}" bash -c "$(declare -f ipp_status); ipp_status \"\$@\"" _ "$uri" "$tmp/set.test")
[ "$got" = client-error-forbidden ] || fail "uid 65534 changing the printer over loopback got $got"
got=$("${other[@]}" bash -c "$(declare -f ipp_status); ipp_status \"\$@\"" _ -d format=application/vnd.zebra-zpl \
  -d jobname=mine -f "$tmp/job.zpl" "$uri" "$tmp/ipp/print-job.test")
[ "$got" = successful-ok ] || fail "uid 65534 could not print over loopback: $got"
got=$("${other[@]}" bash -c "$(declare -f ipp_status); ipp_status \"\$@\"" _ "$uri" "$tmp/ipp/get-attributes.test")
[ "$got" = successful-ok ] || fail "uid 65534 could not query the printer: $got"
got=$("${other[@]}" bash -c "$(declare -f ipp_status); ipp_status \"\$@\"" _ -d jobid="$rootjob" -d owner=test "$uri" \
  "$tmp/ipp/cancel-job.test")
[ "$got" = client-error-forbidden ] || fail "uid 65534 cancelling root's job got $got"
for _ in $(seq 100); do [ -s "$tmp/out/mine.zpl" ] && break; sleep 0.1; done
cmp -s "$tmp/job.zpl" "$tmp/out/mine.zpl" || fail "uid 65534's job did not print"
[ "$(mode)" = "label-mode-configured peel-off" ] || fail "uid 65534 changed the printer over loopback: $(mode)"

# 4. File devices.
echo "root's own" >"$tmp/secret"
ln -s "$tmp/secret" "$tmp/out/link.zpl"
for device in "file:///etc/label-printer-app-test" "file://$tmp/secret" "file://$tmp/out/link.zpl" \
              "file://$tmp/out/../secret" "file://$tmp/out/missing/x.zpl"; do
  if out=$("$app" add -d bad -m zpl_203 -v "$device" 2>&1); then fail "root added a printer on $device"; fi
done
grep -q "File devices may only write inside \\\\\?\"$tmp/out\\\\\?\": \\\\\?\"$tmp/secret\\\\\?\" is outside it" "$tmp/log" ||
  fail "no reason logged for a device outside the directory"
[ ! -e /etc/label-printer-app-test ] || fail "a file was made in /etc"
: >"$tmp/out/later.zpl"
"$app" add -d later -m zpl_203 -v "file://$tmp/out/later.zpl" >/dev/null || fail "a file in the directory was refused"
ln -sf "$tmp/secret" "$tmp/out/later.zpl"
"$app" submit -d later "$tmp/job.zpl" >/dev/null 2>&1 || true
for _ in $(seq 100); do grep -q "outside it" <(grep "Job" "$tmp/log") && break; sleep 0.1; done
grep "Job" "$tmp/log" | grep -q "is outside it" || fail "a job on a link out of the directory was not stopped"
[ "$(cat "$tmp/secret")" = "root's own" ] || fail "the job wrote through the link"

# A printer saved with a device outside a file directory set later is kept, and its jobs are
# cancelled with the reason.
kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
mkdir -m 755 "$tmp/elsewhere"
rm -f "$sock"
"$app" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o log-file="$tmp/log2" -o log-level=info \
  -o spool-directory="$tmp/spool" -o state-file="$tmp/state" -o file-directory="$tmp/elsewhere" </dev/null >/dev/null 2>&1 &
pid=$!
for _ in $(seq 200); do [ -S "$sock" ] && break; sleep 0.05; done
"$app" printers | grep -qx z || fail "the saved printer was dropped"
rm -f "$tmp/out/kept.zpl"
"$app" submit -d z -t kept "$tmp/job.zpl" >/dev/null
for _ in $(seq 100); do grep -q "\[Job.*is outside it" "$tmp/log2" && break; sleep 0.1; done
grep -q "\[Job.*is outside it" "$tmp/log2" || fail "a job on a device outside the new directory was not stopped"
[ ! -e "$tmp/out/kept.zpl" ] || fail "a job printed outside the file directory"
echo "local-access: all checks passed"
