#!/bin/bash
# check-packages.sh: the Debian packages build, are lintian-clean, print, upgrade and purge.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: tests/package/check-packages.sh     (as root, on a machine without the package)
#
# Builds the packages twice with scripts/package, the second time with a higher version, and:
#   - runs lintian on every package: any error or warning fails;
#   - installs the first build and starts a private cupsd (configuration, spool, state and logs
#     in a temporary directory, listening on a socket there and on a 127.0.0.1 port) that runs
#     the installed filters and finds the installed PPDs; lpinfo -m must list the four PPDs,
#     cupstestppd must pass them, and a queue made with lpadmin -m lsb/usr/labelfilters/zpl203.ppd
#     must print the sample label PDF to a file that the installed labelpreview decodes;
#   - installs the second build over it and runs the cups package's PPD updater, with our
#     ppd-updater file, against the private scheduler: the queue's PPD becomes the new one;
#   - purges the package: none of its files may be left; the queue stays.
# The package is purged and the scheduler stopped (by its process id) however the script ends,
# so the machine is left as it was.  The system's cupsd and its queues are never touched.

set -euo pipefail
cd "$(dirname "$0")/../.."
source=$PWD
package=printer-driver-labelfilters

die() { echo "check-packages: $*" >&2; exit 1; }
step() { echo "check-packages: $*"; }

[ "$(id -u)" -eq 0 ] || die "installs packages: run as root"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
  die "$package is installed already; this check would remove it"
fi
scripts/install-deps
export PATH=$PATH:/usr/sbin
apt_options=(-o "DPkg::Lock::Timeout=${APT_LOCK_TIMEOUT:-600}" -y -qq)
# apt-get with its output shown only when it fails.
apt() {
  apt-get "${apt_options[@]}" "$@" > "$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log" >&2; return 1; }
}
export DEBIAN_FRONTEND=noninteractive

tmp=$(mktemp -d "${TMPDIR:-/tmp}/labelfilters-packages.XXXXXX")
chmod 0755 "$tmp"
. tests/e2e/private-cupsd.sh
cleanup() {
  local status=$?
  stop_cupsd
  [ -z "${app_pid:-}" ] || { kill -KILL "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; }
  for p in "$package" label-printer-app; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then
      apt-get "${apt_options[@]}" purge "$p" >/dev/null 2>&1 ||
        { echo "check-packages: could not purge $p" >&2; status=1; }
    fi
  done
  if [ $status -ne 0 ]; then
    [ -f "$tmp/log/error_log" ] && grep '^E ' "$tmp/log/error_log" | tail -n 20 >&2
    echo "check-packages: files kept in $tmp" >&2
  else
    rm -rf "$tmp"
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------------------------------------
# Two builds; the second only packages (its tests are the first one's).
version=$(sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' debian/changelog)
next=$version+ci1
step "building $version"
scripts/package -o "$tmp/v1" >/dev/null
step "building $next"
DEB_BUILD_OPTIONS="nocheck parallel=2" scripts/package -o "$tmp/v2" --version "$next" >/dev/null
dpkg --compare-versions "$next" gt "$version" || die "$next is not above $version"
deb1=$(echo "$tmp/v1/${package}_${version}_"*.deb)
deb2=$(echo "$tmp/v2/${package}_${next}_"*.deb)
[ -f "$deb1" ] && [ -f "$deb2" ] || die "scripts/package built no $package"

step "lintian"
# (lintian says that it runs as root, which is all it says about that)
report=$(lintian --fail-on error,warning "$tmp"/v1/*.deb 2>&1) ||
  { printf '%s\n' "$report" >&2; die "lintian found errors or warnings"; }
printf '%s\n' "$report" | grep -v -e 'running with root privileges' -e '^$' | sed 's/^/  /' || true

depends=$(dpkg-deb -f "$deb1" Depends)
case $depends in *libcupsimage*) die "the filters link libcupsimage: $depends" ;; esac

# ---------------------------------------------------------------------------------------------
# Installed by scripts/install-deps while another process holds dpkg's lock, as an unattended
# upgrade would: the holder lets go 5 s after apt-get's install has started, which must wait
# for it rather than fail.
step "installing $version while dpkg's lock is held"
python3 - "$deb1" > "$tmp/lock.out" <<'PY' &
import fcntl, os, sys, time
lock = open("/var/lib/dpkg/lock-frontend", "w")
fcntl.lockf(lock, fcntl.LOCK_EX)
print("locked", flush=True)
deadline = time.time() + 300
while time.time() < deadline:
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            argv = open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0")
        except OSError:
            continue
        if argv[0].endswith(b"apt-get") and b"install" in argv and sys.argv[1].encode() in argv:
            time.sleep(5)
            print("apt-get waited", flush=True)
            sys.exit(0)
    time.sleep(0.1)
PY
lock_pid=$!
for _ in $(seq 100); do grep -q locked "$tmp/lock.out" && break; sleep 0.1; done
grep -q locked "$tmp/lock.out" || die "could not take dpkg's lock"
scripts/install-deps "$deb1" > "$tmp/install-deps.log" 2>&1 ||
  { cat "$tmp/install-deps.log" >&2; die "scripts/install-deps did not wait for dpkg's lock"; }
wait "$lock_pid" || true
grep -q 'apt-get waited' "$tmp/lock.out" || die "apt-get install did not run while dpkg's lock was held"
step "apt-get install waited for dpkg's lock and installed $version"
dpkg-query -L "$package" | sort > "$tmp/files-$version"
for f in /usr/lib/cups/filter/torvane /usr/lib/cups/filter/silvane /usr/bin/labelpreview; do
  [ "$(stat -c '%a %U %G' "$f")" = "755 root root" ] || die "$f is not 0755 root:root"
  [ "$("$f" --version)" = "$(basename "$f") $version" ] || die "$f --version is not $version"
done

# The private scheduler: the system's server binaries (with the installed filters) and data
# (with the installed PPDs), everything it writes in $tmp.
mkdir -p "$tmp"/{conf,spool/tmp,cache,state,log,out,home,work}
chmod 0755 "$tmp"/{conf,cache,state,log,out}
chmod 0710 "$tmp/spool"
chmod 1777 "$tmp/spool/tmp"
port=$(free_port)
socket=$tmp/cupsd.sock
write_cupsd_conf "$tmp" "$socket" "$port" lp lp root
export CUPS_SERVER=$socket CUPS_SERVERROOT=$tmp/conf HOME=$tmp/home LANG=C LC_ALL=C
unset CUPS_ENCRYPTION CUPS_USER PRINTER LPDEST 2>/dev/null || true
start_cupsd "$tmp"
step "cupsd $cupsd_pid on $socket and 127.0.0.1:$port"

models=$(lpinfo -m | grep '^lsb/usr/labelfilters/' | sort)
printf '%s\n' "$models" | sed 's/^/  /'
[ "$(printf '%s\n' "$models" | awk '{ print $1 }' | tr '\n' ' ')" = \
  "lsb/usr/labelfilters/dpl203.ppd lsb/usr/labelfilters/dpl300.ppd lsb/usr/labelfilters/zpl203.ppd lsb/usr/labelfilters/zpl300.ppd " ] ||
  die "lpinfo -m does not list the four PPDs"

step "cupstestppd"
tests/e2e/check-ppds.sh --ppd-dir /usr/share/ppd/labelfilters \
  --torvane /usr/lib/cups/filter/torvane --silvane /usr/lib/cups/filter/silvane

# print QUEUE: prints the sample label on QUEUE and checks the installed labelpreview decodes
# exactly one 4 x 6 in label at 203 dpi from what the printer got.
tools/make-label-pdf 4x6in "$tmp/work/label.pdf"
chmod 0644 "$tmp/work/label.pdf"
print() {
  local queue=$1 id jobnum out=$tmp/work/$1-$2
  rm -f "$tmp/out/$queue.prn"
  id=$(lp -d "$queue" -o media=w288h432 "$tmp/work/label.pdf" | sed -n 's/^request id is \([^ ]*\) .*/\1/p')
  [ -n "$id" ] || die "lp gave no job id"
  jobnum=${id##*-}
  for _ in $(seq 600); do
    grep -q "\[Job $jobnum\] Job completed\." "$tmp/log/error_log" && break
    grep -q "\[Job $jobnum\] Job stopped" "$tmp/log/error_log" && die "$id stopped"
    sleep 0.1
  done
  grep -q "\[Job $jobnum\] Job completed\." "$tmp/log/error_log" || die "$id did not complete within 60 s"
  labelpreview --format pbm -o "$out" "$tmp/out/$queue.prn" >/dev/null || die "labelpreview cannot decode $id"
  [ "$(ls "$out"-*.pbm | wc -l)" -eq 1 ] || die "$id did not make one label"
  [ "$(head -c 64 "$out-001.pbm" | tr '\n' ' ' | awk '{ print $2, $3 }')" = "812 1218" ] ||
    die "$id is not a 4 x 6 in label at 203 dpi"
  step "$id printed and decoded: one 812 x 1218 dot label"
}

lpadmin -p labels -v "file://$tmp/out/labels.prn" -m lsb/usr/labelfilters/zpl203.ppd -E 2>/dev/null ||
  die "lpadmin refused the queue"
print labels "$version"

# ---------------------------------------------------------------------------------------------
# Upgrade.  On a system the cups package's trigger runs its PPD updater when our ppd-updater
# file changes; its updater works on the system scheduler's socket and /etc/cups/ppd only, so it
# is run here, unchanged but for those two paths, against the private scheduler.
updater=/usr/share/cups/ppd-updaters/$package.ppd-updater
before=$(stat -c %Y "$updater")
step "installing $next"
apt install "$deb2"
[ "$(stat -c %Y "$updater")" != "$before" ] || die "the ppd-updater file kept its time: CUPS would not update queues"
dpkg-query -L "$package" | sort > "$tmp/files-$next"

postinst=/var/lib/dpkg/info/cups.postinst
[ -f "$postinst" ] || die "no $postinst: is the cups package installed?"
sed -n '/^ppd_updater () {/,/^}/p' "$postinst" |
  sed -e "s|/run/cups/cups.sock|$socket|g" -e "s|cd /etc/cups/ppd|cd $tmp/conf/ppd|" > "$tmp/updater.sh"
grep -q "^ppd_updater" "$tmp/updater.sh" || die "no ppd_updater function in $postinst"
(
  tempfiles=
  tmpfile0=$(mktemp "$tmp/work/lpinfo.XXXXXX")
  lpinfo -m > "$tmpfile0"
  . "$tmp/updater.sh"
  . "$updater"
  ppd_updater "$DRIVER_REGEXP" "$GENNICKNAME_REGEXP"
) 2>&1 | sed 's/^/  /'
grep -q "^\*NickName: \".*, torvane $next\"" "$tmp/conf/ppd/labels.ppd" ||
  die "the queue's PPD was not updated: $(grep '^\*NickName' "$tmp/conf/ppd/labels.ppd")"
step "the queue's PPD is now $(sed -n 's/^\*NickName: "\(.*\)"/\1/p' "$tmp/conf/ppd/labels.ppd")"
print labels "$next"

# ---------------------------------------------------------------------------------------------
# The printer application.  Release 1.0.0 ran its server as root with the state in
# /var/lib/label-printer-app.state: it is built from the history, given a printer, and upgraded;
# the printer must still be there when the new server runs as the service's user, which then
# prints a PDF through the installed renderer and links no PDF library itself.
step "label-printer-app: building release 1.0.0 from the history"
first=
for c in $(git -C "$source" rev-list --reverse HEAD -- debian/changelog); do
  if git -C "$source" show "$c:debian/changelog" | head -n 1 | grep -q "($version)"; then first=$c; break; fi
done
[ -n "$first" ] || die "no commit starts release $version in the history (a clone is needed)"
mkdir "$tmp/old"
git -C "$source" archive "$first^" | tar -x -C "$tmp/old"
grep -q '(1.0.0)' <(head -n 1 "$tmp/old/debian/changelog") || die "$first^ is not release 1.0.0"
(cd "$tmp/old" && DEB_BUILD_OPTIONS="nocheck parallel=2" scripts/package -o "$tmp/v0" >/dev/null)
app0=$(echo "$tmp/v0/label-printer-app_1.0.0_"*.deb)
app1=$(echo "$tmp/v1/label-printer-app_${version}_"*.deb)
[ -f "$app0" ] && [ -f "$app1" ] || die "scripts/package built no label-printer-app"

step "label-printer-app 1.0.0: a printer in /var/lib/label-printer-app.state"
apt install "$app0"
mkdir -p "$tmp/app0" && chmod 0700 "$tmp/app0"
rm -f /var/lib/label-printer-app.state
app_port=$(free_port)
SNAP_COMMON=$tmp/app0 TMPDIR=$tmp/app0 /usr/sbin/label-printer-app server -o server-port="$app_port" \
  -o listen-hostname=127.0.0.1 -o log-file="$tmp/app0/log" -o spool-directory="$tmp/app0/spool" \
  > /dev/null 2>&1 &
app_pid=$!
for _ in $(seq 200); do [ -S "$tmp/app0/label-printer-app.sock" ] && break; sleep 0.1; done
SNAP_COMMON=$tmp/app0 /usr/sbin/label-printer-app add -d kept -m zpl_203 -v socket://127.0.0.1:9 ||
  die "release 1.0.0 took no printer"
kill -TERM "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=
grep -q kept /var/lib/label-printer-app.state || die "release 1.0.0 saved no printer"

step "label-printer-app: upgrading to $version"
apt install "$app1"
[ -x /usr/libexec/label-printer-app/label-render ] || die "no installed renderer"
if ldd /usr/sbin/label-printer-app | grep -q poppler; then die "the server links Poppler"; fi
id -nG label-printer-app | grep -qw lp || die "the service's user is not in group lp"
[ "$(id -u label-printer-app)" -ne 0 ] || die "the service's user is root"
[ ! -e /var/lib/label-printer-app.state ] || die "the old state file is still in /var/lib"
[ "$(stat -c '%U %a' /var/lib/label-printer-app/state)" = "label-printer-app 600" ] ||
  die "the moved state is not the service user's, 0600: $(stat -c '%U %a' /var/lib/label-printer-app/state)"
[ "$(stat -c '%U %a' /var/spool/label-printer-app)" = "label-printer-app 700" ] || die "no private spool"
unit=$(dpkg-query -L label-printer-app | grep '/label-printer-app\.service$')
grep -q '^User=label-printer-app$' "$unit" || die "the service runs as root"
# The unit's exposure as systemd rates it, 0 to 10 (threshold in tenths): at most 2.0.
systemd-analyze security --offline=true --threshold=20 "$unit" > "$tmp/exposure" 2>&1 ||
  { cat "$tmp/exposure" >&2; die "the service's exposure is above 2.0"; }
step "$(tail -n 1 "$tmp/exposure" | sed 's/^→ //')"
dpkg-query -L label-printer-app | grep -q 'rules\.d/.*label-printer-app\.rules$' || die "no udev rule"

# The server as its unit starts it: the service's user, its state and spool, its runtime
# directory; root's commands reach it through the socket there.
mkdir -p "$tmp/app/run" "$tmp/app/out"
chown label-printer-app "$tmp/app/run" "$tmp/app/out"
chmod 0755 "$tmp/app"
setpriv --reuid=label-printer-app --regid=label-printer-app --init-groups \
  env -i PATH=/usr/bin:/bin HOME=/var/lib/label-printer-app TMPDIR="$tmp/app/run" RUNTIME_DIRECTORY="$tmp/app/run" \
  /usr/sbin/label-printer-app server -o server-port="$app_port" -o listen-hostname=127.0.0.1 \
  -o log-file="$tmp/app/log" -o log-level=info -o state-file=/var/lib/label-printer-app/state \
  -o spool-directory=/var/spool/label-printer-app -o file-directory="$tmp/app/out" > /dev/null 2>&1 &
app_pid=$!
appctl() { SNAP_COMMON=$tmp/app/run /usr/sbin/label-printer-app "$@"; }
for _ in $(seq 200); do [ -S "$tmp/app/run/label-printer-app.sock" ] && break; sleep 0.1; done
[ -S "$tmp/app/run/label-printer-app.sock" ] || die "the server made no socket in its runtime directory"
[ "$(stat -c %U "/proc/$app_pid")" = label-printer-app ] || die "the server does not run as its user"
appctl printers | grep -q '^kept' || die "the upgrade lost the printer: $(appctl printers 2>&1)"
step "the printer of release 1.0.0 is kept"
appctl add -d labels -m zpl_203 -v "file://$tmp/app/out?ext=zpl" || die "the installed server took no printer"
tools/make-label-pdf 4x6in "$tmp/app/label.pdf"
chmod 0644 "$tmp/app/label.pdf"
appctl submit -d labels -t installed "$tmp/app/label.pdf" >/dev/null || die "the installed server took no job"
for _ in $(seq 300); do appctl jobs -d labels 2>/dev/null | grep -q "completed\|aborted" && break; sleep 0.1; done
appctl jobs -d labels 2>/dev/null | grep -q completed ||
  die "the PDF did not print: $(appctl jobs -d labels 2>&1; tail -n 5 "$tmp/app/log")"
grep -q '\^XA' "$tmp/app/out/installed.zpl" || die "the printer got no label"
grep -q poppler "/proc/$app_pid/maps" && die "the server mapped Poppler"
kill -TERM "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=
step "label-printer-app printed $(stat -c %s "$tmp/app/out/installed.zpl") bytes of ZPL from the PDF"
apt purge label-printer-app
for d in /var/lib/label-printer-app /var/spool/label-printer-app; do
  [ ! -e "$d" ] || die "purging label-printer-app left $d"
done

# ---------------------------------------------------------------------------------------------
step "purging"
apt purge "$package"
left=
while read -r f; do
  [ "$f" != /. ] || continue
  [ -e "$f" ] || [ -L "$f" ] || continue
  # Directories that other packages own too stay.
  [ -d "$f" ] && [ -n "$(dpkg-query -S "$f" 2>/dev/null)" ] && continue
  left+="$f"$'\n'
done < <(sort -u "$tmp/files-$version" "$tmp/files-$next")
[ -z "$left" ] || die "purge left: $left"
step "purge removed every path of the package but shared directories:"
sort -u "$tmp/files-$version" "$tmp/files-$next" | grep -v '^/\.$' | sed 's/^/  /'
lpstat -p labels >/dev/null 2>&1 || die "the queue went with the package"
step "the queue stays: $(lpstat -p labels | head -n 1)"
step "all checks passed"
