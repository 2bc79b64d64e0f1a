#!/bin/bash
# Boots the SCTP VM once and runs every scenario file in it on real SCTP,
# against the production binaries; leaves the log, with a RESULT line per
# file, in RESULTS_DIR for check.sh.
#
#   run.sh RESULTS_DIR QUORVANE COLLECTOR EXPORTER SCENARIO...
#
# Exit: 0 when the run reached its end, 1 when it could not run, 77 when the
# VM is missing and QUORVANE_SKIP_VM=1.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
results=$1 quorvane=$2 collector=$3 exporter=$4
shift 4
mkdir -p "$results"
rm -f "$results/run.log" "$results/skipped"
source "$repo/scripts/vm/vm-available.sh"
if ! vm_available; then
	echo "SKIPPED: $vm_missing" >"$results/skipped"
	exit 77
fi

guest=$results/guest.sh
{
	echo 'cd /opt/scenarios'
	echo 'export QUORVANE_TRANSPORT=kernel QUORVANE_BIN=/opt/quorvane QUORVANE_COLLECTOR=/opt/quorvane-collector'
	echo 'export QUORVANE_EXPORTER=/opt/quorvane-exporter QUORVANE_PORT_BASE=20000'
	for s in "$@"; do
		echo "echo CASE $s; python3 -m unittest -v test_$s 2>&1; echo \"RESULT $s \$?\""
	done
	echo 'echo "vm: run complete"'
} >"$guest"
start=$SECONDS
"$repo/scripts/vm/vm-run.sh" -t "${QUORVANE_VM_TIMEOUT:-280}" -f "$quorvane:/opt/quorvane" \
	-f "$collector:/opt/quorvane-collector" -f "$exporter:/opt/quorvane-exporter" \
	-f "$repo/test/scenarios:/opt/scenarios" "$guest" | tee "$results/run.log"
echo "vm: took $((SECONDS - start))s"
grep -q '^vm: run complete' "$results/run.log" || { echo "vm: the run did not reach its end" >&2; exit 1; }
