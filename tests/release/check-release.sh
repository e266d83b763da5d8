#!/bin/bash
# check-release.sh: the README's two commands and the packages on a fresh Debian system.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: tests/release/check-release.sh [SUITE]     (as root; SUITE defaults to trixie)
#
# Makes a minimal Debian SUITE system with debootstrap (minbase, plus git), clones this
# repository into it as a new user would, and runs there, in order:
#   scripts/demo, scripts/test, tests/package/check-packages.sh
# (the last builds the packages, runs lintian on them, installs, prints, upgrades and purges).
#
# Everything runs in a mount namespace of its own, so the chroot's mounts (proc, sys, dev)
# go away with it however the script ends; the tree is deleted afterwards unless
# KEEP_RELEASE_ROOT=1 (to look into a failure).  The only thing kept between runs is apt's cache of downloaded
# packages (/var/cache/labelfilters/apt-SUITE): apt checks every cached .deb against the
# signed package lists before it installs it, so a stale or altered file is fetched again,
# never used.  The bootstrapped tree itself is made anew each time (it takes well under a
# minute), so no state of an earlier run can leak into this one.
#
# Bounded: RELEASE_TIMEOUT seconds for everything inside the chroot (default 3000).

set -euo pipefail
cd "$(dirname "$0")/../.."
source=$PWD
suite=${1:-trixie}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

die() { echo "check-release: $*" >&2; exit 1; }
step() { echo "check-release: $(date -u +%T) $*"; }

[ "$(id -u)" -eq 0 ] || die "makes a chroot: run as root"
git -C "$source" rev-parse HEAD >/dev/null 2>&1 || die "$source is not a git checkout"
scripts/install-deps debootstrap util-linux

# Inside the namespace: from here on, mounts are private to this process and its children.
if [ "${LABELFILTERS_IN_NAMESPACE:-}" != "$suite" ]; then
  LABELFILTERS_IN_NAMESPACE=$suite exec unshare --mount --propagation private -- "$0" "$@"
fi

work=$(mktemp -d "${TMPDIR:-/var/tmp}/labelfilters-$suite.XXXXXX")
root=$work/root
cleanup() {
  local status=$?
  # Anything still running in the chroot (a test's server) keeps its mounts busy: end it.
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -KILL "${p#/proc/}" 2>/dev/null
  done
  # Detached at once even when busy (the namespace is ours alone); the tree is deleted only
  # once nothing is mounted below it, so that no bind-mounted directory (the source, the
  # package cache) can be reached by the removal.
  awk -v r="$root" 'index($5, r "/") == 1 {print $5}' /proc/self/mountinfo | sort -r |
    while read -r point; do umount -l "$point" 2>/dev/null || true; done
  if [ "${KEEP_RELEASE_ROOT:-0}" = 1 ]; then
    echo "check-release: the $suite tree is kept in $root" >&2
  elif awk -v r="$root" '$5 == r || index($5, r "/") == 1 {found = 1} END {exit !found}' /proc/self/mountinfo; then
    echo "check-release: something is still mounted below $root; the tree is left there" >&2
  else
    rm -rf --one-file-system "$work"
  fi
  exit $status
}
trap cleanup EXIT

step "debootstrap $suite (minbase, git)"
mkdir -p "$root"
debootstrap --variant=minbase --include=git,ca-certificates "$suite" "$root" "$mirror" \
  > "$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log" >&2; die "debootstrap failed"; }

cache=/var/cache/labelfilters/apt-$suite
mkdir -p "$cache/partial"
mount --bind "$cache" "$root/var/cache/apt/archives"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=0755 tmpfs "$root/run"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Keep downloaded packages in the cache (Debian's default is to remove them after install).
rm -f "$root/etc/apt/apt.conf.d/docker-clean"
echo 'Binary::apt::APT::Keep-Downloaded-Packages "true";' > "$root/etc/apt/apt.conf.d/01keep-debs"

mkdir -p "$root/src"
mount --bind -o ro "$source" "$root/src"

step "in $suite: git clone, scripts/demo, scripts/test, tests/package/check-packages.sh"
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    TERM=dumb LANG=C.UTF-8 CI="${CI:-}" \
  timeout --kill-after=30 "${RELEASE_TIMEOUT:-3000}" chroot "$root" /bin/bash -euo pipefail -c '
    git config --global --add safe.directory /src
    git clone -q /src /root/labelfilters
    cd /root/labelfilters
    . /etc/os-release
    echo "check-release: $PRETTY_NAME, $(git log -1 --format="%h %s")"
    scripts/demo
    scripts/test
    tests/package/check-packages.sh
  ' || die "failed in $suite (status $?)"
step "$suite passed"
