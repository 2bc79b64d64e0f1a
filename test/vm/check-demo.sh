#!/bin/bash
# Runs scripts/demo.sh in its VM form and checks that the collector's record
# lines reached the host with the fields the demo asked for.
#   check-demo.sh DEMO_SCRIPT BUILD_DIR
demo=$1 build=$2
source "$(dirname "$0")/../../scripts/vm/vm-available.sh"
vm_available || exit 77
out=$(QUORVANE_DEMO_VM=1 "$demo" "$build" 2>&1)
rc=$?
echo "$out"
[ "$rc" = 0 ] || { echo "demo exited with $rc" >&2; exit 1; }
rx='^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} from 127\.0\.0\.1 port 2055 stream [01] len [0-9]+ netflow v9 count [0-9]+ seq [0-9]+$'
n=$(grep -cE "$rx" <<<"$out")
s0=$(grep -E "$rx" <<<"$out" | grep -c ' stream 0 ')
s1=$(grep -E "$rx" <<<"$out" | grep -c ' stream 1 ')
seqs=$(grep -E "$rx" <<<"$out" | sed 's/.* seq //' | sort -n | tr '\n' ' ')
if [ "$n" = 10 ] && [ "$s0" = 5 ] && [ "$s1" = 5 ] && [ "$seqs" = "0 1 2 3 4 5 6 7 8 9 " ]; then
	echo "demo: 10 records, 5 per stream, sequence numbers 0-9"
	exit 0
fi
echo "demo: $n record lines (stream 0: $s0, stream 1: $s1, seq: $seqs), want 10, 5, 5, 0-9" >&2
exit 1
