#!/bin/bash
# Host side of the VM end-to-end suite: boots the SCTP VM once, runs every
# case of e2e/suite.py in it against the given daemon, and leaves the log and
# one RESULT line per case in RESULTS_DIR for the per-case tests.
#
#   run-e2e.sh RESULTS_DIR QUORVANE [EXPORTER COLLECTOR] [-- CASE...]
#
# Exit: 0 when the suite ran to its end (case results are in RESULTS_DIR),
# 1 when it could not run, 77 when the VM is missing and QUORVANE_SKIP_VM=1.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache=${QUORVANE_VM_CACHE:-$repo/.cache/vm}
results=$1 quorvane=$2
shift 2
exporter= collector=
if [ $# -ge 2 ] && [ "$1" != -- ]; then exporter=$1 collector=$2; shift 2; fi
[ "${1:-}" = -- ] && shift

mkdir -p "$results"
rm -f "$results/results.txt" "$results/suite.log" "$results/skipped"

source "$repo/scripts/vm/vm-available.sh"
if ! vm_available; then
	echo "SKIPPED: $vm_missing" >"$results/skipped"
	exit 77
fi

files=(-f "$quorvane:/opt/quorvane" -f "$here/e2e:/opt/e2e")
if [ -n "$exporter" ] && [ -x "$exporter" ] && [ -x "$collector" ]; then
	files+=(-f "$exporter:/opt/tools/quorvane-exporter" -f "$collector:/opt/tools/quorvane-collector")
else
	echo "run-e2e: quorvane-exporter/quorvane-collector not built: their cases are skipped"
fi

start=$SECONDS
"$repo/scripts/vm/vm-run.sh" -t "${QUORVANE_VM_TIMEOUT:-170}" "${files[@]}" "$here/e2e/guest.sh" "$@" | tee "$results/suite.log"
rc=${PIPESTATUS[0]}
grep -E '^RESULT ' "$results/suite.log" >"$results/results.txt"
echo "run-e2e: VM suite took $((SECONDS - start))s, status $rc"
if ! grep -q '^vm-suite: ' "$results/suite.log"; then
	echo "run-e2e: the suite did not run to its end (status $rc)" >&2
	exit 1
fi
exit 0
