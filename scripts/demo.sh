#!/bin/sh
# Ten NetFlow v9 datagrams from an SCTP exporter through quorvane to the
# example collector, whose record lines are shown as they arrive.
#
#   scripts/demo.sh [BUILD_DIR]      (default: build)
#
# Where this kernel has no SCTP, the same three programs run inside the test
# VM (scripts/vm, prepared by scripts/vm/prepare.sh). QUORVANE_DEMO_VM=1 forces the
# VM. Exits 0 only when all ten records reached the collector.
# POSIX sh: the VM runs this very script under busybox.
set -u
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
port=2055
count=10

daemon=$build/quorvane
collector=$build/tools/quorvane-collector
exporter=$build/tools/quorvane-exporter
for b in "$daemon" "$collector" "$exporter"; do
	[ -x "$b" ] || { echo "demo: $b not built (cmake -S . -B $build && cmake --build $build)" >&2; exit 1; }
done

has_sctp() {
	python3 -c 'import socket; socket.socket(socket.AF_INET, socket.SOCK_SEQPACKET, 132).close()' 2>/dev/null
}

if [ "${QUORVANE_DEMO_VM:-0}" = 1 ] || ! has_sctp; then
	[ "${QUORVANE_DEMO_VM:-0}" = 1 ] || echo "demo: this kernel has no SCTP; running the demo inside the test VM"
	vm=$here/vm
	abs() { (cd "$(dirname "$1")" && echo "$(pwd)/$(basename "$1")"); }
	exec "$vm/vm-run.sh" -t 60 \
		-f "$(abs "$daemon"):/opt/demo/quorvane" \
		-f "$(abs "$collector"):/opt/demo/tools/quorvane-collector" \
		-f "$(abs "$exporter"):/opt/demo/tools/quorvane-exporter" \
		"$here/demo.sh" /opt/demo
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-demo.XXXXXX")
cpid= dpid=
cleanup() {
	for p in $dpid $cpid; do kill "$p" 2>/dev/null; done
	rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$collector" -listen 0 -ports "$port" -count "$count" >"$work/collector.out" 2>"$work/collector.err" &
cpid=$!
i=0
while ! grep -q '^listening on ' "$work/collector.out" 2>/dev/null; do
	i=$((i + 1)); [ $i -le 100 ] || { echo "demo: collector did not start" >&2; cat "$work/collector.err" >&2; exit 1; }
	sleep 0.05
done
cport=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/collector.out")
echo "collector listening on 127.0.0.1:$cport, asking quorvane to listen on SCTP port $port"
shown=1
# Record lines are shown as they come; tail -f would poll too slowly here.
show_new() {
	n=$(wc -l <"$work/collector.out")
	[ "$n" -gt "$shown" ] && sed -n "$((shown + 1)),${n}p" "$work/collector.out"
	shown=$n
}

"$daemon" -forwardingport "$cport" -udpsocketbufsize 1048576 -packetpoolsize 100 -maxpacketsize 9000 \
	>"$work/daemon.out" 2>"$work/daemon.err" &
dpid=$!

# The daemon opens its SCTP port only when the collector's port update has
# reached it, so the exporter's first tries may be refused.
i=0
until "$exporter" -host 127.0.0.1 -port "$port" -streams 0,1 -count "$count" -format v9 -quiet \
	>"$work/exporter.out" 2>"$work/exporter.err"; do
	i=$((i + 1))
	if [ $i -gt 50 ] || ! grep -q 'refused' "$work/exporter.err"; then
		echo "demo: the exporter failed:" >&2; cat "$work/exporter.err" "$work/daemon.err" >&2; exit 1
	fi
	sleep 0.1
done

i=0
while kill -0 "$cpid" 2>/dev/null; do
	show_new
	i=$((i + 1)); [ $i -le 150 ] || { echo "demo: collector still waiting after 15 s" >&2; break; }
	sleep 0.1
done
show_new
got=$(grep -c ' from 127\.0\.0\.1 port 2055 stream [01] len [0-9]* netflow v9 ' "$work/collector.out")
# The collector hangs up after its last record, which ends the daemon.
i=0
while kill -0 "$dpid" 2>/dev/null && [ $i -lt 30 ]; do i=$((i + 1)); sleep 0.1; done
if [ "$got" -eq "$count" ]; then
	echo "demo: $got of $count records arrived; quorvane said: $(sed -n 's/^\[.\{24\}\] //p' "$work/daemon.out" | tr '\n' ' ')"
	exit 0
fi
echo "demo: only $got of $count records arrived" >&2
cat "$work/collector.err" "$work/daemon.err" >&2
exit 1
