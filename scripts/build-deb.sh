#!/usr/bin/env bash
# Builds the Debian package from this tree into OUTDIR (default: build/deb)
# and fails unless lintian finds nothing to report at warning level or above.
#
#   scripts/build-deb.sh [OUTDIR]
#
# Installs the build tools with apt when they are missing. The tree itself is
# left clean: the build runs in a copy, since dpkg-buildpackage writes its
# products beside the source directory.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$repo/build/deb}" && cd "${1:-$repo/build/deb}" && pwd)

"$repo/scripts/install-deps.sh" build-essential dpkg-dev debhelper fakeroot lintian cmake g++ make pkg-config libsctp-dev libmicrohttpd-dev

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/quorvane"
tar -C "$repo" --exclude=./.git --exclude='./build*' --exclude=./.cache -cf - . | tar -C "$work/quorvane" -xf -
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=$(nproc)}
(cd "$work/quorvane" && dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1 \
  || { tail -40 "$out/build.log"; echo "build-deb: dpkg-buildpackage failed, see $out/build.log" >&2; exit 1; }

rm -f "$out"/quorvane*_*
cp "$work"/quorvane*_*.deb "$work"/quorvane_*.buildinfo "$work"/quorvane_*.changes "$out"/
ls "$out"/quorvane_*.deb
# The package stays in OUTDIR for a look even when lintian fails the build.
lintian --fail-on warning,error "$out"/quorvane_*.changes 2>&1 | tee "$out/lintian.log"
