#!/bin/bash
# Builds the root of the systemd VM: Debian 12 with systemd as PID 1, the
# peers the package is run against (softflowd, nfcapd and nfdump), and the
# sctp module of the kernel the VM boots, packed as an initramfs in the VM
# cache. The package under test is not in it: each run installs it, and
# vm-run.sh -S adds the unit that starts the run's script.
#
#   scripts/vm/prepare-systemd.sh    (as root; after prepare.sh)
#
# Cache: ${QUORVANE_VM_CACHE:-<repo>/.cache/vm}/systemd-root.cpio.gz, rebuilt
# when this script or the kernel changed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache=${QUORVANE_VM_CACHE:-$repo/.cache/vm}
out=$cache/systemd-root.cpio.gz
log() { echo "prepare-systemd: $*" >&2; }

[ -s "$cache/kernel-version" ] || "$here/prepare.sh"
# Stamped by content: a checkout sets new times on unchanged scripts. The
# module list counts too: a cache fetched again for more modules makes a
# root that carries them.
stamp=$(cat "$0" "$here/mkcpio.py" "$cache/kernel-version" "$cache/kernel/modules/order" | sha256sum | cut -c1-16)
[ -s "$out" ] && [ "$(cat "$out.stamp" 2>/dev/null)" = "$stamp" ] && exit 0
[ "$(id -u)" = 0 ] || { log "need root to build $out"; exit 1; }
command -v mmdebstrap >/dev/null || "$repo/scripts/install-deps.sh" mmdebstrap

kver=$(sed 's/^linux-image-//' "$cache/kernel-version")
# libmicrohttpd12 for the collector's -metrics, which the package's
# dependencies would otherwise fetch; kmod for modules-load; netcat and
# util-linux's setpriv are the local
# intruder of the drills; procps and iproute2 for looking around.
packages=systemd,systemd-sysv,libsctp1,libmicrohttpd12,softflowd,nfdump,kmod,netcat-openbsd,procps,iproute2
t0=$SECONDS
stage=$(mktemp -d "$cache/systemd-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
root=$stage/root
log "mmdebstrap bookworm with $packages"
mmdebstrap --quiet --variant=apt --include="$packages" \
	--dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
	--dpkgopt='path-exclude=/usr/share/locale/*' \
	bookworm "$root" http://deb.debian.org/debian >"$stage/mmdebstrap.log" 2>&1 ||
	{ tail -20 "$stage/mmdebstrap.log" >&2; log "mmdebstrap failed"; exit 1; }

# The kernel's own sctp module and its dependencies, loaded at boot, and
# sctp_diag for the relay's lookups where the kernel has it as a module.
mdir=$root/lib/modules/$kver/extra
mkdir -p "$mdir"
cp "$cache"/kernel/modules/*.ko "$mdir/"
# Without modules.builtin and modules.order, which are not needed here.
chroot "$root" depmod "$kver" 2>/dev/null
grep -q sctp "$root/lib/modules/$kver/modules.dep" || { log "depmod found no sctp module"; exit 1; }
echo sctp >"$root/etc/modules-load.d/sctp.conf"
if [ -s "$mdir/sctp_diag.ko" ]; then echo sctp_diag >>"$root/etc/modules-load.d/sctp.conf"; fi

# No udev in an initramfs root: the gettys and logind would wait out their
# devices' timeouts. A fixed machine id keeps systemd from first-boot presets.
for u in serial-getty@ttyS0 getty@tty1 systemd-logind apt-daily apt-daily-upgrade proc-sys-fs-binfmt_misc.automount \
	apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer; do
	case $u in *.timer | *.automount) ;; *) u=$u.service ;; esac
	ln -sf /dev/null "$root/etc/systemd/system/$u"
done
od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$root/etc/machine-id"
echo systemdvm >"$root/etc/hostname"

rm -rf "$root"/var/cache/apt/*.bin "$root"/var/cache/apt/archives/*.deb "$root"/var/lib/apt/lists/* "$root"/dev/*
echo "tree / $root" >"$stage/manifest"
python3 "$here/mkcpio.py" -m "$stage/manifest" -o "$stage/root.cpio"
gzip -1 -c "$stage/root.cpio" >"$out.$$"
mv -f "$out.$$" "$out"
echo "$stamp" >"$out.stamp"
log "$out: $(du -h "$out" | cut -f1) in $((SECONDS - t0)) s"
