#!/usr/bin/env bash
# The package under a real systemd: Debian 12 booted in the VM with systemd as
# PID 1 (scripts/vm/vm-run.sh -S), the .deb installed there and put through
# the drills of systemd-drills.sh. Gated like check.sh; exit status 77 skips.
set -uo pipefail
[ -n "${CI:-}" ] || [ "${QUORVANE_PACKAGE_CHECK:-}" = 1 ] \
  || { echo "systemd drills skipped: set QUORVANE_PACKAGE_CHECK=1 to run them"; exit 77; }
[ "$(id -u)" -eq 0 ] || { echo "systemd drills: need root to build the VM's root" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
source "$repo/scripts/vm/vm-available.sh"
vm_available || exit 77
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-systemd.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$SECONDS
"$repo/scripts/vm/prepare-systemd.sh" || exit 1
"$repo/scripts/build-deb.sh" "$work/deb" >/dev/null || exit 1
deb=$(ls "$work"/deb/quorvane_*.deb)
# The capture the scenario suite feeds softflowd, and its two colliding routers.
mkdir "$work/routers"
python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from test_companions import write_pcap, write_routers
write_pcap(sys.argv[2]); write_routers(sys.argv[3])' "$repo/test/scenarios" "$work/flows.pcap" "$work/routers" || exit 1
"$repo/scripts/vm/vm-run.sh" -S -t 600 -f "$deb:/opt/quorvane.deb" -f "$work/flows.pcap:/opt/flows.pcap" \
  -f "$work/routers:/opt/routers" "$here/systemd-drills.sh" /opt/quorvane.deb /opt/flows.pcap /opt/routers
status=$?
echo "systemd drills: status $status in $((SECONDS - start)) s"
exit "$status"
