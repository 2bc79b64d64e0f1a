#!/bin/busybox sh
# PID 1 of the test VM. Loads SCTP, runs /run/script and reports its status
# on the console behind the per-run tag, which vm-run.sh waits for; the tag
# lives in the per-run archive so output of an earlier run cannot match it.
/bin/busybox --install -s /bin
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp TMPDIR=/tmp LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm /tmp /var/tmp
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
exec </dev/null >/dev/console 2>&1

tag=$(cat /run/tag)
report() {
	echo
	echo "$tag exit=$1"
	sync
	poweroff -f
	sleep 10
}

for m in $(cat /lib/vm-modules/order); do
	if ! insmod "/lib/vm-modules/$m"; then
		echo "vm: insmod $m failed"
		report 125
	fi
done
ifconfig lo 127.0.0.1 netmask 255.0.0.0 up
hostname sctpvm

limit=$(cat /run/timeout 2>/dev/null || echo 600)
cd /tmp
# A hung script must still produce a status before the host gives up.
set --
if [ -f /run/args ]; then
	while IFS= read -r a; do set -- "$@" "$a"; done </run/args
fi
timeout "$limit" sh /run/script "$@"
rc=$?
[ "$rc" = 143 ] && echo "vm: script killed after ${limit}s"
report "$rc"
