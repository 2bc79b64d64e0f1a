#!/bin/bash
# Runs the tools' SCTP tests inside the test VM, whose kernel has SCTP.
#   run_in_vm.sh EXPORTER COLLECTOR [QUORVANE]
# Exits 77 (skipped) when the VM is not prepared on this machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
exporter=$1 collector=$2 daemon=${3:-}
cache=${QUORVANE_VM_CACHE:-$repo/.cache/vm}
if ! command -v qemu-system-x86_64 >/dev/null || [ ! -s "$cache/kernel/vmlinuz" ]; then
	echo "no test VM here (run test/vm/prepare.sh); skipped"
	exit 77
fi
guest=$(mktemp)
trap 'rm -f "$guest"' EXIT
{
	echo '#!/bin/sh'
	echo 'python3 /opt/exporter_cli.py /opt/quorvane-exporter || exit 1'
	[ -n "$daemon" ] && echo 'python3 /opt/chain_vm.py /opt/quorvane /opt/quorvane-collector /opt/quorvane-exporter || exit 1'
	echo 'exit 0'
} >"$guest"
files=(-f "$exporter" -f "$collector" -f "$here/exporter_cli.py" -f "$here/chain_vm.py")
[ -n "$daemon" ] && files+=(-f "$daemon")
exec "$repo/test/vm/vm-run.sh" -t 200 "${files[@]}" "$guest"
