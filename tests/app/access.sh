#!/bin/bash
# access.sh: who may change label-printer-app's printers and settings, who may print, and who
# may read its files.  Usage: access.sh APP
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# 1. By default the server listens on loopback only, and its state, log and spool are not
#    readable by other users (even under a permissive umask).
# 2. With `-o auth-service=`, a change over TCP from a local user who is not an administrator
#    needs a password (run as root only: that needs a second uid); the local socket needs none.
# 3. In a private network namespace with a second address (10.9.9.1, standing for another
#    host) and the server listening everywhere: from that address a PDF prints (over plain
#    HTTP and over TLS), the printer and one's own jobs can be listed and cancelled;
#    Set-Printer-Attributes, Create-Printer, web form posts and Cancel-Job of someone else's
#    job are refused, and the printer's pages show no job names or owners; the same change
#    through the local socket works.
# Exit 77 (skipped) when the namespace cannot be made.
set -euo pipefail
app=$1
here=$(cd "$(dirname "$0")" && pwd)

# Everything runs in a network namespace of its own (a user namespace too when not root).
if [ -z "${ACCESS_IN_NAMESPACE:-}" ]; then
  command -v ip >/dev/null && command -v curl >/dev/null || { echo "SKIP: needs ip and curl" >&2; exit 77; }
  flags=-n; [ "$(id -u)" -eq 0 ] || flags=-rn
  unshare $flags true 2>/dev/null || { echo "SKIP: no network namespace" >&2; exit 77; }
  ACCESS_IN_NAMESPACE=$flags exec unshare $flags "$0" "$@"
fi
ip link set lo up
ip addr add 10.9.9.1/32 dev lo
tmp=$(mktemp -d)
chmod 755 "$tmp"
pid=
cleanup() { [ -z "$pid" ] || { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }; rm -rf "$tmp"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$tmp/log" ] && tail -20 "$tmp/log" >&2; exit 1; }

# The server runs as nobody when we are root, so that TLS keys go to its own home, not /etc.
# It runs from a copy of the program and its renderer: the build tree may be root's alone
# (a clone under /root), and the renderer is looked for beside the program.
as=()
if [ "$ACCESS_IN_NAMESPACE" = -n ]; then
  as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  chown nobody "$tmp"
  mkdir -m 755 "$tmp/bin"
  cp "$app" "$(dirname "$app")/label-render" "$tmp/bin/"
  app=$tmp/bin/$(basename "$app")
fi
run() { env HOME="$tmp" TMPDIR="$tmp" SNAP_COMMON="$tmp" ASAN_OPTIONS=detect_leaks=0 "${as[@]}" "$@"; }
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

start() {  # extra server options...
  rm -f "$tmp"/label-printer-app*.sock
  (umask 022; exec env HOME="$tmp" TMPDIR="$tmp" SNAP_COMMON="$tmp" ASAN_OPTIONS=detect_leaks=0 \
     "${as[@]}" "$app" server -o server-port="$port" -o log-file="$tmp/log" -o log-level=info \
     -o spool-directory="$tmp/spool" -o state-file="$tmp/state" -o file-directory="$tmp" "$@" </dev/null >/dev/null 2>&1) &
  pid=$!
  for _ in $(seq 200); do compgen -G "$tmp/label-printer-app*.sock" >/dev/null && return; sleep 0.05; done
  fail "the server did not start"
}
stop() { kill "$pid"; wait "$pid" 2>/dev/null || true; pid=; }
ipp_status() {  # ipptool arguments... → the status-code of the (one) request
  ipptool -T 10 -tv "$@" 2>&1 | sed -n 's/^ *status-code = \([a-z-]*\).*/\1/p' | head -1 || true
}
sed '/STATUS/d' "$here/set-attributes.test" >"$tmp/set.test"
ipp() {  # URI EXPECTED-STATUS: Set-Printer-Attributes
  local got
  got=$(ipp_status "$1" "$tmp/set.test")
  [ "$got" = "$2" ] || fail "Set-Printer-Attributes to $1 got ${got:-no answer}, not $2"
}
# The label mode the server has saved.  A refused change never reaches the state file, so it
# is read at once after a refusal; an accepted one is saved within a second: wait_mode polls.
mode() { grep -o 'label-mode-configured [a-z-]*' "$tmp/state" 2>/dev/null | head -1 || true; }
wait_mode() {  # MODE: true once the state file holds it (10 s at most)
  for _ in $(seq 100); do [ "$(mode)" = "label-mode-configured $1" ] && return; sleep 0.1; done
  false
}

# 1. Loopback only, private files.
start
run "$app" add -d z -m zpl_203 -v "file://$tmp?ext=zpl" >/dev/null
hexport=$(printf '%04X' "$port")
listeners=$(awk -v p=":$hexport" '$4 == "0A" && $2 ~ p"$" {print $2}' /proc/net/tcp /proc/net/tcp6)
[ -n "$listeners" ] || fail "no listener on port $port"
for l in $listeners; do
  case $l in
    0100007F:*|00000000000000000000000001000000:*) ;;
    *) fail "listening on $l, not only on loopback" ;;
  esac
done
run "$app" modify -d z -o label-mode-configured=rewind >/dev/null
for _ in $(seq 50); do grep -q rewind "$tmp/state" 2>/dev/null && break; sleep 0.1; done
for f in state log spool; do
  [ -e "$tmp/$f" ] || fail "no $f"
  perms=$(stat -c %a "$tmp/$f")
  [ $((8#$perms & 8#077)) -eq 0 ] || fail "$f is readable by others ($perms)"
done
stop

# 2. An auth service: TCP changes from a local user who is not an administrator need a
#    password (a uid other than the server's, when there is one), the local socket does not.
start -o listen-hostname=127.0.0.1 -o auth-service=login
if [ "$ACCESS_IN_NAMESPACE" = -n ]; then
  got=$(setpriv --reuid=65533 --regid=65533 --clear-groups bash -c "$(declare -f ipp_status); ipp_status \"\$@\"" _ \
        "ipp://127.0.0.1:$port/ipp/print/z" "$tmp/set.test")
  [ "$got" = client-error-not-authenticated ] || fail "a change from uid 65533 over loopback got $got"
fi
run "$app" modify -d z -o label-mode-configured=peel-off >/dev/null || fail "a local change was refused"
wait_mode peel-off || fail "the local change was not saved: $(mode)"
stop

# 3. Another host.
start -o listen-hostname='*'
remote=10.9.9.1
ipp "ipp://$remote:$port/ipp/print/z" client-error-forbidden
ipp "ipps://$remote:$port/ipp/print/z" client-error-forbidden
[ "$(mode)" = "label-mode-configured peel-off" ] || fail "a remote change went through: $(mode)"
got=$(ipp_status -d name=evil -d device="file://$tmp?ext=prn" "ipp://$remote:$port/ipp/system" "$here/create-printer.test")
[ "$got" = client-error-forbidden ] || fail "Create-Printer from another host got ${got:-no answer}"
run "$app" printers | grep -qx evil && fail "another host created a printer"

# Printing from the other host: a PDF, over plain HTTP and over TLS; its label reaches the printer.
"$here/../../tools/make-label-pdf" -t REMOTE 4x6in "$tmp/label.pdf"
chmod 644 "$tmp/label.pdf"
for scheme in ipp ipps; do
  got=$(ipp_status -d format=application/pdf -d jobname="remote-$scheme" -f "$tmp/label.pdf" \
        "$scheme://$remote:$port/ipp/print/z" "$here/print-job.test")
  [ "$got" = successful-ok ] || fail "Print-Job of a PDF from another host over $scheme got ${got:-no answer}"
  for _ in $(seq 300); do grep -q '\^XZ' "$tmp/remote-$scheme.zpl" 2>/dev/null && break; sleep 0.1; done
  grep -q '\^XZ' "$tmp/remote-$scheme.zpl" 2>/dev/null || fail "the PDF from another host over $scheme did not print"
done
got=$(ipp_status "ipp://$remote:$port/ipp/print/z" "$here/get-attributes.test")
[ "$got" = successful-ok ] || fail "Get-Printer-Attributes from another host got ${got:-no answer}"
# Its own job (requesting-user-name test, as print-job.test sends) it may cancel; another's not.
run "$app" submit -d z -t confidential-payroll "$tmp/label.pdf" >/dev/null
theirs=$(run "$app" jobs -d z | awk '/confidential-payroll/ {print $1}' | head -1 | sed 's/^z-//')
[ -n "$theirs" ] || fail "no job from this host"
got=$(ipp_status -d jobid=1 -d owner=test "ipp://$remote:$port/ipp/print/z" "$here/cancel-job.test")
case $got in successful-ok|client-error-not-possible) ;; *) fail "Cancel-Job of its own job from another host got ${got:-no answer}" ;; esac
got=$(ipp_status -d jobid="$theirs" -d owner=test "ipp://$remote:$port/ipp/print/z" "$here/cancel-job.test")
[ "$got" = client-error-forbidden ] || fail "Cancel-Job of someone else's job from another host got ${got:-no answer}"
# A job list from the other host holds its own jobs only.
ipptool -T 10 -tv -d owner=test "ipp://$remote:$port/ipp/print/z" "$here/get-jobs.test" >"$tmp/jobs.out" 2>&1 ||
  fail "Get-Jobs from another host failed: $(cat "$tmp/jobs.out")"
grep -q "remote-ipp" "$tmp/jobs.out" || fail "Get-Jobs from another host does not list its own job"
grep -q "confidential-payroll" "$tmp/jobs.out" && fail "Get-Jobs from another host lists someone else's job"
# The printer's pages list the jobs without names or owners.
for page in z/ z/jobs; do
  body=$(curl -s --max-time 10 "http://$remote:$port/$page")
  case $body in *"Job #"*) ;; *) fail "no job list at /$page" ;; esac
  case $body in *confidential-payroll*|*remote-ipp*|*">test<"*) fail "/$page shows job names or owners to another host" ;; esac
done

# A web form post from the other host, with the session cookie and form token its page gave.
post() {  # SCHEME → the HTTP status
  local url="$1://$remote:$port/z/label" jar="$tmp/cookies"
  rm -f "$jar"
  token=$(curl -sk -c "$jar" -b "$jar" --max-time 10 "$url" | grep -o 'name="session" value="[^"]*"' | sed 's/.*value="//;s/"$//' || true)
  curl -sk -o /dev/null -w '%{http_code}' -c "$jar" -b "$jar" --max-time 10 \
    --data "session=$token&label-mode-configured=cutter" "$url"
}
code=$(post http)
case $code in 301|403|426) ;; *) fail "a web form post over HTTP from another host got $code" ;; esac
code=$(post https)
[ "$code" = 403 ] || fail "a web form post over TLS from another host got $code"
[ "$(mode)" = "label-mode-configured peel-off" ] || fail "a remote form post went through: $(mode)"

# The same change from this host, through the local socket.
run "$app" modify -d z -o label-mode-configured=tear-off >/dev/null || fail "a local change was refused"
wait_mode tear-off || fail "the local change did not take: $(mode)"
grep -q "Refused a change from another host" "$tmp/log" || fail "the refusals are not logged"
echo "access: all checks passed"
