#!/bin/bash
# One ctest test per scenario file on real SCTP: shows that file's part of
# the VM run's log and passes, fails or skips as it did there.
#   check.sh RESULTS_DIR SCENARIO
results=$1 name=$2
if [ -f "$results/skipped" ]; then cat "$results/skipped"; exit 77; fi
[ -f "$results/run.log" ] || { echo "no VM run in $results: vm_run did not run" >&2; exit 1; }
sed -n "/^CASE $name\$/,/^RESULT $name /p" "$results/run.log"
grep -qx "RESULT $name 0" "$results/run.log"
