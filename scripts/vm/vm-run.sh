#!/bin/bash
# Runs a shell script inside a throwaway VM whose kernel has real SCTP.
#
#   vm-run.sh [-S] [-t SECS] [-c CPUS] [-f HOST[:GUEST]]... SCRIPT [ARG...]
#
# -S boots Debian 12 with systemd as PID 1 (prepare-systemd.sh) instead of
#    busybox; the script runs under bash once multi-user.target is reached.
# -f copies a file or directory into the guest (default guest path
#    /opt/<basename>); ELF files bring their shared libraries along.
# The script runs as root under busybox sh in /tmp, with lo up and the sctp
# module loaded; its output is streamed to stdout and its exit status is this
# command's status. 124: the VM did not report in time; 125: the VM failed.
# Prepared by prepare.sh (run with --offline here when the base is stale).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache=${QUORVANE_VM_CACHE:-$repo/.cache/vm}
timeout=170
cpus=2
files=()
systemd=0
while getopts "St:c:f:" o; do
	case $o in
	S) systemd=1 ;;
	t) timeout=$OPTARG ;;
	c) cpus=$OPTARG ;;
	f) files+=("$OPTARG") ;;
	*) echo "usage: $0 [-S] [-t secs] [-c cpus] [-f host[:guest]]... script [arg...]" >&2; exit 2 ;;
	esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: $0 [-S] [-t secs] [-c cpus] [-f host[:guest]]... script [arg...]" >&2; exit 2; }
script=$1
shift

qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || { echo "vm-run: qemu-system-x86_64 not found; run scripts/vm/prepare.sh" >&2; exit 125; }
[ -s "$cache/kernel/vmlinuz" ] || { echo "vm-run: no kernel in $cache; run scripts/vm/prepare.sh" >&2; exit 125; }
"$here/prepare.sh" --offline
# What differs between the two guests: the archive, what runs as PID 1, and
# where the run's own files go (systemd mounts a tmpfs over /run).
base=$cache/base.cpio.gz rd=/run mem=1024 init=/init
if [ "$systemd" = 1 ]; then
	"$here/prepare-systemd.sh"
	base=$cache/systemd-root.cpio.gz rd=/etc/vm-run mem=2048
	init="/sbin/init systemd.show_status=error"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-vm.XXXXXX")
qpid=
cleanup() {
	if [ -n "$qpid" ] && kill -0 "$qpid" 2>/dev/null; then
		kill "$qpid" 2>/dev/null || true
		sleep 0.3
		kill -9 "$qpid" 2>/dev/null || true
	fi
	rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

tag="QVM-$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
echo "$tag" >"$work/tag"
# The guest gives up a little before the host does, so a hung script still
# ends with a status and the guest's last words.
echo $((timeout > 20 ? timeout - 8 : timeout)) >"$work/gtimeout"
: >"$work/args"
for a in "$@"; do printf '%s\n' "$a" >>"$work/args"; done
{
	echo "file $rd/tag $work/tag 644"
	echo "file $rd/timeout $work/gtimeout 644"
	echo "file $rd/args $work/args 644"
	echo "file $rd/script $script 755"
	if [ "$systemd" = 1 ]; then
		echo "file /etc/systemd/system/vm-run.service $here/vm-run.service 644"
		echo "symlink /etc/systemd/system/multi-user.target.wants/vm-run.service ../vm-run.service"
		echo "file /usr/local/sbin/vm-run-guest $here/systemd-guest.sh 755"
	fi
	for item in ${files[@]+"${files[@]}"}; do
		host=${item%%:*}
		guest=${item#*:}
		[ "$guest" = "$item" ] && guest=/opt/$(basename "$host")
		[ -e "$host" ] || { echo "vm-run: $host does not exist" >&2; exit 2; }
		if [ -d "$host" ]; then
			echo "tree $guest $host"
		elif head -c4 "$host" | grep -q $'^\x7fELF'; then
			echo "elf $guest $host"
		else
			echo "file $guest $host"
		fi
	done
} >"$work/manifest"
python3 "$here/mkcpio.py" -m "$work/manifest" -o "$work/run.cpio"
# The kernel unpacks concatenated archives in turn, so the large base is
# built once and only the small per-run part is written each time.
# An archive that follows a compressed one must start 4-byte aligned; zeros
# between archives are skipped.
bsize=$(stat -c %s "$base")
{ cat "$base"; head -c $(( (4 - bsize % 4) % 4 )) /dev/zero; cat "$work/run.cpio"; } >"$work/initrd"

mkfifo "$work/console"
"$qemu" -accel tcg -cpu max -smp "$cpus" -m "$mem" \
	-kernel "$cache/kernel/vmlinuz" -initrd "$work/initrd" \
	-append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=$init" \
	-display none -monitor none -serial stdio -nic none -no-reboot \
	-pidfile "$work/qemu.pid" </dev/null >"$work/console" 2>"$work/qemu.err" &
qpid=$!

# The console echoes CRLF; the tag line carries the status and is not shown.
# Reads wait at most a second so that a TERM from a test runner is acted on
# (bash runs traps only between builtins) and qemu is not left behind.
status=124
held=0
partial=
exec 3<"$work/console"
deadline=$((SECONDS + timeout))
while :; do
	if [ $((deadline - SECONDS)) -le 0 ]; then
		echo "vm-run: no status from the VM within ${timeout}s" >&2
		break
	fi
	line=
	IFS= read -r -t 1 line <&3 && rc=0 || rc=$?
	if [ "$rc" -gt 128 ]; then
		partial+=$line
		continue
	fi
	if [ "$rc" != 0 ] && [ -z "$line" ]; then
		# EOF: qemu has gone.
		[ -n "$partial" ] && printf '%s\n' "${partial%$'\r'}"
		echo "vm-run: VM stopped without a status" >&2
		sed 's/^/qemu: /' "$work/qemu.err" >&2 || true
		status=125
		break
	fi
	line=$partial$line
	partial=
	line=${line%$'\r'}
	if [[ $line == "$tag exit="* ]]; then
		status=${line#"$tag exit="}
		break
	fi
	# /init puts an empty line before the tag; only later lines show it.
	if [ -z "$line" ]; then
		held=$((held + 1))
		continue
	fi
	for ((; held > 0; held--)); do echo; done
	printf '%s\n' "$line"
done
exec 3<&-
# qemu exits by itself after poweroff; anything left is ended by cleanup.
for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$qpid" 2>/dev/null || break; sleep 0.1; done
exit "$status"
