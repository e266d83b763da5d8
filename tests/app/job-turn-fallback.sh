#!/bin/bash
# job-turn-fallback.sh: the server built without its job takeover, as where libpappl binds its
# own calls.  Usage: job-turn-fallback.sh UNTAKEN-APP APP
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Jobs from three clients at once on one network printer (a listener here that keeps what
# each connection sends): with the takeover missing, the first job to reach the printer logs
# the error once, a job that PAPPL starts twice is left by its second thread (and logged), and
# the printer gets every job exactly once, whole, never two jobs' bytes mixed.  The server
# with its takeover logs no such error and prints the same.
set -euo pipefail
untaken=$1 app=$2
tmp=$(mktemp -d)
pid= listener=
cleanup() {
  [ -z "$pid" ] || { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
  [ -z "$listener" ] || { kill "$listener" 2>/dev/null; wait "$listener" 2>/dev/null; }
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$tmp/log" ] && tail -20 "$tmp/log" >&2; exit 1; }
export HOME="$tmp" TMPDIR="$tmp" SNAP_COMMON="$tmp" ASAN_OPTIONS=detect_leaks=0
message="without the application's job turn"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

for c in 1 2 3; do
  for j in 1 2 3 4; do
    { printf '^XA^FO20,20^A0N,40,40^FDclient %s job %s^FS^FO20,80^FD' "$c" "$j"
      head -c 20000 /dev/zero | tr '\0' 'x'; printf '^FS^XZ\n'; } >"$tmp/job-$c-$j.zpl"
  done
done

# Whether the bytes received hold every job exactly once, whole (and nothing else but status
# queries).
check_received() {
  python3 - "$tmp" <<'PY'
import glob, os, sys
tmp = sys.argv[1]
jobs = sorted(open(f, "rb").read() for f in glob.glob(os.path.join(tmp, "job-*.zpl")))
data = b"".join(open(f, "rb").read() for f in sorted(glob.glob(os.path.join(tmp, "rx", "*")),
                                                     key=lambda f: int(os.path.basename(f))))
# The printer's status queries (~HS) come between jobs.
got = sorted(part + b"^XZ\n" for part in data.replace(b"~HS", b"").split(b"^XZ\n") if part)
sys.exit(0 if got == jobs else 1)
PY
}

run_jobs() {  # SERVER
  rm -rf "$tmp/rx" "$tmp/spool" "$tmp/state" "$tmp/log" "$tmp"/*.sock
  mkdir -p "$tmp/rx"
  printer_port=$(free_port)
  python3 - "$tmp/rx" "$printer_port" <<'PY' &
import socket, sys, threading
rx, port = sys.argv[1], int(sys.argv[2])
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", port))
server.listen(16)
count = 0
def keep(conn, name):
    with open(name, "wb") as out:
        while True:
            data = conn.recv(65536)
            if not data:
                break
            out.write(data)
            out.flush()
while True:
    conn, _ = server.accept()
    count += 1
    threading.Thread(target=keep, args=(conn, f"{rx}/{count}"), daemon=True).start()
PY
  listener=$!
  port=$(free_port)
  "$1" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o log-file="$tmp/log" -o log-level=info \
    -o spool-directory="$tmp/spool" -o state-file="$tmp/state" -o file-directory="$tmp" </dev/null >/dev/null 2>&1 &
  pid=$!
  sock="$tmp/$(basename "$1").sock"
  for _ in $(seq 200); do [ -S "$sock" ] && break; sleep 0.05; done
  [ -S "$sock" ] || fail "the server did not start"
  "$1" add -d z -m zpl_203 -v "socket://127.0.0.1:$printer_port" >/dev/null || fail "no printer"
  clients=()
  for c in 1 2 3; do
    ( for j in 1 2 3 4; do "$1" submit -d z -t "job-$c-$j" "$tmp/job-$c-$j.zpl" >/dev/null || exit 1; done ) &
    clients+=($!)
  done
  for c in "${clients[@]}"; do wait "$c" || fail "a client's submit failed"; done
  for _ in $(seq 600); do check_received && break; sleep 0.1; done
  check_received || fail "the printer did not get every job exactly once, whole"
  kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
  kill "$listener"; wait "$listener" 2>/dev/null || true; listener=
}

run_jobs "$untaken"
[ "$(grep -c "$message" "$tmp/log")" -eq 1 ] || fail "the missing takeover was not logged once"
left=$(grep -c "is already printing on another thread" "$tmp/log" || true)
run_jobs "$app"
grep -q "$message" "$tmp/log" && fail "the server with its takeover logged it missing"
echo "job-turn-fallback: all checks passed (jobs left by a second thread without the takeover: $left)"
