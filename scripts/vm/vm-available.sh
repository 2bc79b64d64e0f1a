# Sourced. vm_available: whether the SCTP VM can run here; otherwise says why
# in $vm_missing and decides, from the environment, between failing (CI or
# QUORVANE_REQUIRE_VM=1; also the default) and skipping (QUORVANE_SKIP_VM=1).
# Under CI as root, a missing VM is first prepared.
vm_available() {
	local here cache
	here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
	cache=${QUORVANE_VM_CACHE:-$(cd "$here/../.." && pwd)/.cache/vm}
	vm_missing=
	_vm_check() {
		vm_missing=
		command -v qemu-system-x86_64 >/dev/null || vm_missing="qemu-system-x86_64 not installed"
		[ -s "$cache/kernel/vmlinuz" ] || vm_missing="${vm_missing:+$vm_missing; }no VM kernel in $cache"
	}
	_vm_check
	[ -z "$vm_missing" ] && return 0
	local required=0
	{ [ -n "${CI:-}" ] || [ "${QUORVANE_REQUIRE_VM:-}" = 1 ]; } && required=1
	if [ "$required" = 1 ] && [ "$(id -u)" = 0 ]; then
		echo "vm: $vm_missing; running scripts/vm/prepare.sh" >&2
		"$here/prepare.sh" >&2 && _vm_check
		[ -z "$vm_missing" ] && return 0
	fi
	if [ "$required" = 0 ] && [ "${QUORVANE_SKIP_VM:-}" = 1 ]; then
		echo "SKIPPED: SCTP VM unavailable ($vm_missing); QUORVANE_SKIP_VM=1" >&2
		return 1
	fi
	echo "FAILED: SCTP VM unavailable: $vm_missing. Run scripts/vm/prepare.sh (as root), or set QUORVANE_SKIP_VM=1 to skip." >&2
	exit 1
}
