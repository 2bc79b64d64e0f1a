#!/usr/bin/env bash
# The Debian package end to end: built by scripts/build-deb.sh (which fails on
# any lintian warning or error), installed into a throwaway Debian 12 root,
# never into this machine, used there, then purged.
# Runs only when CI is set or QUORVANE_PACKAGE_CHECK=1; exit status 77 skips.
set -euo pipefail
[ -n "${CI:-}" ] || [ "${QUORVANE_PACKAGE_CHECK:-}" = 1 ] \
  || { echo "package check skipped: set QUORVANE_PACKAGE_CHECK=1 to run it"; exit 77; }
fail() { echo "package check: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root for debootstrap and chroot"
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$SECONDS

"$repo/scripts/build-deb.sh" "$work/deb"
deb=$(ls "$work"/deb/quorvane_*.deb)

# A fresh minimal bookworm with libsctp1 for the daemon, libmicrohttpd12 for
# the collector, and systemd and man-db for the checks; made once, then
# unpacked from the cache in seconds.
cache=$repo/.cache/package-check/bookworm-minbase-sctp-microhttpd-systemd-man.tar
if [ ! -s "$cache" ]; then
  "$repo/scripts/install-deps.sh" debootstrap
  debootstrap --variant=minbase --include=libsctp1,libmicrohttpd12,systemd,man-db bookworm "$work/fresh" \
    http://deb.debian.org/debian >"$work/debootstrap.log" 2>&1 \
    || { tail -20 "$work/debootstrap.log"; fail "debootstrap failed"; }
  rm -rf "$work"/fresh/var/cache/apt/archives/*.deb "$work"/fresh/var/lib/apt/lists/*
  mkdir -p "$(dirname "$cache")"
  tar -C "$work/fresh" -cf "$cache.new" . && mv "$cache.new" "$cache"
fi
root=$work/root
mkdir "$root" && tar -C "$root" -xf "$cache"
inroot() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
# /run is gone at boot, and man-db caches what man and mandb read (the
# verify of Documentation= included); neither is the package's doing.
files() { (cd "$root" && find . -xdev ! -path './run/*' ! -path './var/cache/man/*' | sort); }

files >"$work/before"
cp "$deb" "$root/tmp/quorvane.deb"
inroot dpkg -i /tmp/quorvane.deb >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i failed"; }
rm "$root/tmp/quorvane.deb"

set +e
usage=$(inroot quorvane 2>&1 >/dev/null)
status=$?
set -e
[ "$status" -eq 1 ] && [[ $usage == "usage: quorvane -forwardingport port "* ]] \
  || fail "quorvane with no arguments: status $status, standard error: $usage"

for page in $(inroot dpkg -L quorvane | grep '^/usr/share/man/'); do
  [ -f "$root$page" ] || continue
  inroot man -l "$page" 2>&1 | grep -q '^NAME' || fail "man -l $page shows no page"
  echo "man page opens: $page"
done

# Installed, not enabled: the daemon needs a collector the operator set up.
[ -z "$(find "$root/etc/systemd/system" -name 'quorvane*')" ] || fail "a unit was enabled at install"

units=$(inroot dpkg -L quorvane | sed -n 's|^/lib/systemd/system/||p' | grep .)
verify=$(inroot systemd-analyze verify $units 2>&1) && [ -z "$verify" ] \
  || fail "systemd-analyze verify $units: ${verify:-failed}"
echo "systemd-analyze verify accepts:" $units

# Out of the box: the ports file is a conffile; the collector unit stops
# for good on the status a missing one gives, the daemon's relays whole
# datagrams, and both set their descriptor limit.
inroot dpkg-query -W -f='${Conffiles}\n' quorvane | grep -q '^ /etc/quorvane/ports ' \
  || fail "/etc/quorvane/ports is not a conffile"
option() { sed -n "s/^$1=//p" "$root/lib/systemd/system/$2"; }
[[ $(option ExecStart quorvane.service) == *" -maxpacketsize 65535 "* ]] || fail "quorvane.service: -maxpacketsize"
[ "$(option RestartPreventExitStatus quorvane-collector.service)" = 3 ] || fail "collector unit restarts on status 3"
for unit in quorvane.service quorvane-collector.service; do
  [ -n "$(option LimitNOFILE $unit)" ] || fail "$unit sets no LimitNOFILE"
done
mv "$root/etc/quorvane/ports" "$work/ports"
set +e
err=$(inroot quorvane-collector -listen 0 -portsfile /etc/quorvane/ports 2>&1 >/dev/null)
status=$?
set -e
mv "$work/ports" "$root/etc/quorvane/ports"
[ "$status" -eq 3 ] && [[ $err == *"cannot read /etc/quorvane/ports"* ]] \
  || fail "collector without its ports file: status $status, standard error: $err"
echo "ports conffile and unit options as shipped"

inroot dpkg --purge quorvane >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "purge failed"; }
files >"$work/after"
diff "$work/before" "$work/after" || fail "purge left the differences above"
echo "package check passed in $((SECONDS - start)) s"
