#!/bin/bash
# Runs the tools' SCTP tests inside the test VM, whose kernel has SCTP.
#   run_in_vm.sh EXPORTER COLLECTOR [QUORVANE]
# Without the VM it fails, or exits 77 (skipped) under QUORVANE_SKIP_VM=1.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
exporter=$1 collector=$2 daemon=${3:-}
# Fails loudly when the VM is missing, unless QUORVANE_SKIP_VM=1 asks for a skip.
. "$repo/scripts/vm/vm-available.sh"
vm_available || exit 77
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
exec "$repo/scripts/vm/vm-run.sh" -t 200 "${files[@]}" "$guest"
