#!/bin/bash
# The systemd VM's counterpart of init.sh, started by vm-run.service once the
# system is up: runs the run's script from /etc/vm-run with its arguments,
# then reports its status behind the run's tag and powers off. /run is
# systemd's tmpfs here, so the run's files live under /etc/vm-run.
cd /tmp || exit 1
export HOME=/root LANG=C.UTF-8 SYSTEMD_COLORS=0 SYSTEMD_PAGER=
args=()
while IFS= read -r a; do args+=("$a"); done </etc/vm-run/args
limit=$(cat /etc/vm-run/timeout)
timeout "$limit" bash /etc/vm-run/script "${args[@]}"
rc=$?
[ "$rc" = 124 ] && echo "vm: script killed after ${limit}s"
echo
echo "$(cat /etc/vm-run/tag) exit=$rc"
sync
systemctl poweroff --force --force
