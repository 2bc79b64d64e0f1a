#!/bin/bash
# Gets everything the SCTP test VM needs onto a Debian 12 machine: qemu,
# static busybox, the SCTP tools, and a kernel whose SCTP is a module, then
# builds the part of the initramfs that does not change between runs.
#
#   scripts/vm/prepare.sh            install packages (as root) and build the cache
#   scripts/vm/prepare.sh --offline  only (re)build the cache from what is installed
#
# Cache: ${QUORVANE_VM_CACHE:-<repo>/.cache/vm}. Idempotent; when nothing
# changed it only checks stamps.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache=${QUORVANE_VM_CACHE:-$repo/.cache/vm}
offline=0
[ "${1:-}" = --offline ] && offline=1

# The kernel build of Debian 12's cloud flavour: small, and SCTP is =m there.
kernel_meta=linux-image-cloud-amd64
# softflowd and nfdump: a real exporter with SCTP export and a real UDP
# collector, for the relay's end-to-end cases; pmacct's nfacctd a second
# UDP collector beside nfcapd.
packages=(qemu-system-x86 busybox-static lksctp-tools libsctp-dev python3 softflowd nfdump pmacct systemd iproute2)
# The kernel's modules the VM loads, with what they depend on: sctp; tcp_diag
# for the collector's check of who connected; veth for the -spoof case's
# link into a network namespace. Then those a kernel may also build in, or
# lack: sctp_diag for the relay's lookups of associations' peer addresses.
modules="sctp tcp_diag veth"
optional_modules="sctp_diag"
wanted="$modules / $optional_modules"

log() { echo "prepare: $*" >&2; }

mkdir -p "$cache"

if [ "$offline" = 0 ]; then
	missing=()
	while read -r p st; do
		[ "$st" = installed ] || missing+=("$p")
	done < <(for p in "${packages[@]}"; do
		echo "$p $(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || echo none)"; done)
	if [ ${#missing[@]} -gt 0 ] || [ ! -s "$cache/kernel-version" ] ||
		[ "$(cat "$cache/kernel/modules/wanted" 2>/dev/null)" != "$wanted" ]; then
		if [ "$(id -u)" != 0 ]; then
			log "need root to install: ${missing[*]:-} (or the kernel package)"; exit 1
		fi
		log "apt-get update"
		apt-get update -qq
	fi
	if [ ${#missing[@]} -gt 0 ]; then
		log "installing ${missing[*]}"
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
	fi

	# Only fetched and unpacked, never installed: installing would pull udev,
	# initramfs-tools and a systemd upgrade onto the host. A kernel already in
	# the cache is kept (delete the cache to move to a newer one).
	kpkg=$(cat "$cache/kernel-version" 2>/dev/null || true)
	[ -n "$kpkg" ] || kpkg=$(apt-cache depends "$kernel_meta" 2>/dev/null |
		sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n1)
	[ -n "$kpkg" ] || { log "cannot resolve $kernel_meta (apt-get update?)"; exit 1; }
	# A cache made for another list of modules is fetched again.
	if [ "$(cat "$cache/kernel-version" 2>/dev/null)" != "$kpkg" ] ||
		[ "$(cat "$cache/kernel/modules/wanted" 2>/dev/null)" != "$wanted" ]; then
		log "fetching $kpkg"
		dl=$(mktemp -d)
		trap 'rm -rf "$dl"' EXIT
		chmod 777 "$dl"   # apt drops to _apt for downloads
		(cd "$dl" && apt-get download -qq "$kpkg" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2 || true)
		deb=$(ls "$dl"/*.deb 2>/dev/null | head -n1)
		[ -n "$deb" ] || { log "apt-get download $kpkg failed"; exit 1; }
		dpkg -x "$deb" "$dl/x"
		kver=${kpkg#linux-image-}
		moddir="$dl/x/lib/modules/$kver"
		rm -rf "$cache/kernel"
		mkdir -p "$cache/kernel/modules"
		cp "$dl/x/boot/vmlinuz-$kver" "$cache/kernel/vmlinuz"

		# Load order comes from the modules' own depends= fields, depth first,
		# so a changed dependency chain in a later kernel still loads.
		find "$moddir" -name '*.ko' >"$dl/all"
		order=()
		resolve() {
			local name=$1 optional=${2:-} path dep
			for m in "${order[@]}"; do [ "$m" = "$name.ko" ] && return 0; done
			path=$(grep -E "/${name//_/[_-]}\\.ko\$" "$dl/all" | head -n1)
			if [ -z "$path" ] && [ -n "$optional" ]; then
				log "no module $name in $kpkg: built in, or absent"
				return 0
			fi
			[ -n "$path" ] || { log "module $name not in $kpkg"; exit 1; }
			for dep in $(tr '\0' '\n' <"$path" | sed -n 's/^depends=//p' | tr ',' ' '); do
				resolve "${dep//-/_}"
			done
			cp "$path" "$cache/kernel/modules/$name.ko"
			order+=("$name.ko")
		}
		for m in $modules; do resolve "$m"; done
		for m in $optional_modules; do resolve "$m" optional; done
		printf '%s\n' "${order[@]}" >"$cache/kernel/modules/order"
		echo "$wanted" >"$cache/kernel/modules/wanted"
		log "module order: ${order[*]}"
		echo "$kpkg" >"$cache/kernel-version"
		rm -f "$cache/base.cpio.gz"
		rm -rf "$dl"
		trap - EXIT
	fi
fi

[ -s "$cache/kernel-version" ] || { log "no kernel in $cache: run $0 without --offline"; exit 1; }
for b in /bin/busybox /usr/bin/python3 /usr/sbin/ip /usr/bin/systemd-socket-activate /usr/bin/sctp_darn /usr/bin/sctp_test /usr/sbin/softflowd /usr/bin/nfcapd /usr/bin/nfdump /usr/sbin/nfacctd; do
	[ -x "$b" ] || { log "$b missing: run $0 without --offline"; exit 1; }
done
libgcc_s=$(ldconfig -p | sed -n 's/^[[:space:]]*libgcc_s\.so\.1 (libc6,x86-64) => //p' | head -n1)
[ -n "$libgcc_s" ] || { log "libgcc_s.so.1 not found"; exit 1; }
file_is_static() { ! ldd "$1" >/dev/null 2>&1; }
file_is_static /bin/busybox || { log "/bin/busybox is not static (busybox-static missing?)"; exit 1; }

# The base archive: everything but the binaries and scripts of one run.
# Rebuilt when an input is newer than it.
base=$cache/base.cpio.gz
py=$(readlink -f /usr/bin/python3)
pyver=$(basename "$py")
inputs=("$here/init.sh" "$here/mkcpio.py" "$here/prepare.sh" /bin/busybox "$py" /usr/sbin/ip /usr/bin/systemd-socket-activate /usr/bin/sctp_darn /usr/bin/sctp_test /usr/sbin/softflowd /usr/bin/nfcapd /usr/bin/nfdump /usr/sbin/nfacctd "$cache/kernel-version")
fresh=1
[ -s "$base" ] || fresh=0
for f in "${inputs[@]}"; do [ "$fresh" = 1 ] && [ "$f" -nt "$base" ] && fresh=0; done
if [ "$fresh" = 1 ]; then
	exit 0
fi

log "building $base"
t0=$(date +%s%N)
# Private names: several test runs may share one cache.
stage=$(mktemp -d "$cache/pystage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
# The Python of the test suite, minus what a socket test never imports.
cp -a "/usr/lib/$pyver" "$stage/lib"
(
	cd "$stage/lib"
	rm -rf test idlelib tkinter turtledemo ensurepip lib2to3 pydoc_data distutils \
		site-packages dist-packages config-* venv sqlite3 curses dbm xmlrpc \
		unittest/test ctypes/test turtle.py pydoc.py
	find . -name __pycache__ -prune -exec rm -rf {} +
	cd lib-dynload
	rm -f _test* xxlimited* _xxtestfuzz* _ctypes_test* _tkinter* _curses* readline* \
		_dbm* _gdbm* nis* _sqlite3* _ssl* _hashlib* audioop* ossaudiodev* _crypt*
)
# Compiled here, once, by the very interpreter the guest runs, so the guest
# does not spend its slow emulated CPU compiling the standard library per run.
"$py" -m compileall -q -j0 "$stage/lib" >/dev/null || true

man=$stage/base.manifest
{
	echo "dir /proc"; echo "dir /sys"; echo "dir /dev"; echo "dir /tmp"; echo "dir /run"; echo "dir /root"
	echo "dir /usr/bin"; echo "dir /usr/sbin"; echo "dir /usr/lib"; echo "dir /usr/lib64"
	echo "symlink /lib usr/lib"; echo "symlink /lib64 usr/lib64"; echo "symlink /sbin usr/sbin"
	echo "file /init $here/init.sh 755"
	echo "file /bin/busybox /bin/busybox 755"
	echo "symlink /bin/sh busybox"
	for m in $(cat "$cache/kernel/modules/order"); do echo "file /usr/lib/vm-modules/$m $cache/kernel/modules/$m 644"; done
	echo "file /usr/lib/vm-modules/order $cache/kernel/modules/order 644"
	echo "elf /usr/bin/$pyver $py"
	echo "symlink /usr/bin/python3 $pyver"
	echo "tree /usr/lib/$pyver $stage/lib"
	for so in "$stage"/lib/lib-dynload/*.so; do echo "elf /usr/lib/$pyver/lib-dynload/$(basename "$so") $so"; done
	echo "elf /usr/bin/sctp_darn /usr/bin/sctp_darn"
	echo "elf /usr/bin/systemd-socket-activate /usr/bin/systemd-socket-activate"
	# iproute2's ip ahead of busybox's on PATH: busybox has no network namespaces.
	echo "dir /usr/local"; echo "dir /usr/local/bin"
	echo "elf /usr/local/bin/ip $(readlink -f /usr/sbin/ip)"
	echo "elf /usr/bin/sctp_test /usr/bin/sctp_test"
	# No plugin directories; beyond what ldd names, nfcapd and nfdump need
	# libgcc_s, which glibc loads on their threads' exit. softflowd wants
	# /var/run for its pid file and control socket.
	echo "elf /usr/sbin/softflowd /usr/sbin/softflowd"
	echo "elf /usr/bin/nfcapd /usr/bin/nfcapd"
	echo "elf /usr/bin/nfdump /usr/bin/nfdump"
	echo "elf /usr/sbin/nfacctd /usr/sbin/nfacctd"
	echo "elf $libgcc_s $libgcc_s"
	echo "dir /var"; echo "symlink /var/run ../run"
} >"$man"
# The .so files were already placed by "tree"; "elf" lines only add their libraries.
"$py" "$here/mkcpio.py" -z -m "$man" -o "$base.$$"
mv -f "$base.$$" "$base"
rm -rf "$stage"
log "base archive $(du -h "$base" | cut -f1) in $(( ($(date +%s%N) - t0) / 1000000 )) ms"
