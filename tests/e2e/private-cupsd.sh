# private-cupsd.sh: starting and stopping a cupsd of a test's own; sourced by the test scripts.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# The caller writes cupsd.conf and cups-files.conf into a directory of its own (DIR/conf, with
# logs in DIR/log) and defines die MESSAGE.  cupsd_pid is set while the scheduler runs.

cupsd_pid=

# free_port: prints a TCP port on 127.0.0.1 that nothing answers on.
free_port() {
  local candidate
  for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then echo "$candidate"; return; fi
  done
  die "no free port found"
}

# write_cupsd_conf DIR SOCKET PORT USER GROUP SYSTEM_GROUP: writes DIR/conf/cupsd.conf and
# cups-files.conf for a scheduler that keeps everything in DIR (cache, state, spool in
# DIR/spool, logs in DIR/log), listens on SOCKET and 127.0.0.1:PORT only, runs filters as
# USER:GROUP and lets SYSTEM_GROUP change queues.  Server binaries and data are the system's
# unless the caller adds ServerBin and DataDir lines.
write_cupsd_conf() {
  cat > "$1/conf/cups-files.conf" <<EOF
ServerRoot $1/conf
CacheDir $1/cache
StateDir $1/state
RequestRoot $1/spool
TempDir $1/spool/tmp
ServerKeychain $1/conf/ssl
AccessLog $1/log/access_log
ErrorLog $1/log/error_log
PageLog $1/log/page_log
Printcap $1/printcap
FileDevice Yes
User $4
Group $5
SystemGroup $6
PassEnv ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
EOF

  # Printing is open; changing queues needs the system group, which the caller (root, or the
  # owner of a scheduler not run as root) is in through its socket credentials.  cupsd takes
  # those credentials by default (PeerCred on); the directive itself is not written, since
  # CUPS 2.4.2 reads it only in cups-files.conf and 2.4.10 only in cupsd.conf, each refusing
  # the other's file.
  cat > "$1/conf/cupsd.conf" <<EOF
LogLevel debug
MaxLogSize 0
Listen $2
Listen 127.0.0.1:$3
Browsing No
BrowseLocalProtocols none
DefaultShared No
WebInterface No
PreserveJobHistory Yes
DefaultAuthType Basic
<Location />
  Order allow,deny
  Allow localhost
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit Create-Job Print-Job Print-URI Validate-Job Send-Document Get-Jobs Get-Job-Attributes Cancel-Job CUPS-Get-PPDs CUPS-Get-Devices Get-Printer-Attributes CUPS-Get-Printers CUPS-Get-Default>
    Order deny,allow
  </Limit>
  <Limit All>
    AuthType Default
    Require user @SYSTEM
    Order deny,allow
  </Limit>
</Policy>
EOF
  chmod 0644 "$1/conf/cupsd.conf" "$1/conf/cups-files.conf"
}

# start_cupsd DIR: starts cupsd with DIR/conf's files and waits (20 s at most) until it answers
# on $CUPS_SERVER.
start_cupsd() {
  cupsd -f -c "$1/conf/cupsd.conf" -s "$1/conf/cups-files.conf" > "$1/log/cupsd.out" 2>&1 &
  cupsd_pid=$!
  for _ in $(seq 200); do
    kill -0 "$cupsd_pid" 2>/dev/null || { cat "$1/log/cupsd.out" >&2; die "cupsd exited at start"; }
    lpstat -r 2>/dev/null | grep -q 'is running' && return
    sleep 0.1
  done
  die "cupsd did not come up within 20 s"
}

# stop_cupsd: stops the scheduler by its process id, if it runs: SIGTERM, SIGKILL after 5 s.
stop_cupsd() {
  [ -n "$cupsd_pid" ] || return 0
  kill -TERM "$cupsd_pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$cupsd_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$cupsd_pid" 2>/dev/null || true
  wait "$cupsd_pid" 2>/dev/null || true
  cupsd_pid=
}
