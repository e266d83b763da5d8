#!/bin/bash
# access.sh: who may change label-printer-app's printers and settings, and who may read its
# files.  Usage: access.sh APP
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# 1. By default the server listens on loopback only, and its state, log and spool are not
#    readable by other users (even under a permissive umask).
# 2. With `-o auth-service=`, a change over TCP needs a password; the local socket needs none.
# 3. In a private network namespace with a second address (10.9.9.1, standing for another
#    host) and the server listening everywhere: Set-Printer-Attributes and web form posts
#    from that address are refused, over plain HTTP and over TLS; the same change through the
#    local socket works.
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
as=()
if [ "$ACCESS_IN_NAMESPACE" = -n ]; then
  as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  chown nobody "$tmp"
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
ipp() {  # URI EXPECTED-STATUS
  ipptool -T 10 -d status="$2" "$1" "$here/set-attributes.test" >"$tmp/ipptool.out" 2>&1 ||
    fail "Set-Printer-Attributes to $1 did not end in $2: $(cat "$tmp/ipptool.out")"
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

# 2. An auth service: TCP changes need a password, the local socket does not.
start -o listen-hostname=127.0.0.1 -o auth-service=login
ipp "ipp://127.0.0.1:$port/ipp/print/z" client-error-not-authenticated
run "$app" modify -d z -o label-mode-configured=peel-off >/dev/null || fail "a local change was refused"
wait_mode peel-off || fail "the local change was not saved: $(mode)"
stop

# 3. Another host.
start -o listen-hostname='*'
remote=10.9.9.1
ipp "ipp://$remote:$port/ipp/print/z" client-error-forbidden
ipp "ipps://$remote:$port/ipp/print/z" client-error-forbidden
[ "$(mode)" = "label-mode-configured peel-off" ] || fail "a remote change went through: $(mode)"

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
