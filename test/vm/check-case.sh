#!/bin/bash
# One ctest test per VM case: shows the case's part of the suite log and
# passes, fails or skips as the case did in the VM run.
#   check-case.sh RESULTS_DIR CASE
results=$1 name=$2
if [ -f "$results/skipped" ]; then cat "$results/skipped"; exit 77; fi
if [ ! -f "$results/results.txt" ]; then
	echo "no VM suite results in $results: the vm_sctp_suite test did not run" >&2
	exit 1
fi
sed -n "/^CASE $name\$/,/^RESULT $name /p" "$results/suite.log"
sed -n "/^RESULT $name /,/^[^ ]/p" "$results/suite.log" | sed '1d;$d'
line=$(grep -E "^RESULT $name " "$results/results.txt")
case $line in
"RESULT $name PASS"*) exit 0 ;;
"RESULT $name SKIP"*) exit 77 ;;
"") echo "case $name did not run" >&2; exit 1 ;;
*) exit 1 ;;
esac
