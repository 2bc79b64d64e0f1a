#!/usr/bin/env bash
# The whole test suite: the plain build (with the real-kernel SCTP suite in a
# QEMU VM), then the same daemon under ASan+UBSan and under TSan.
set -uo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh || exit 1
if [ -x scripts/vm/prepare.sh ]; then
  scripts/vm/prepare.sh || exit 1
fi

passed=0
failed=0
run_build() {  # name, sanitizer
  local dir="build/$1"
  cmake -S . -B "$dir" -DQUORVANE_SANITIZE="$2" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; failed=$((failed + 1)); return; }
  cmake --build "$dir" -j"$(nproc)" || { failed=$((failed + 1)); return; }
  echo "=== tests: $1 build"
  ctest --test-dir "$dir" --output-on-failure -j2 2>&1 | tee "$dir.ctest.log"
  local total fails
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$dir.ctest.log" | tail -1)
  fails=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$dir.ctest.log" | tail -1)
  if [ -z "$total" ]; then failed=$((failed + 1)); return; fi
  passed=$((passed + total - fails))
  failed=$((failed + fails))
}

mkdir -p build
run_build plain ""
run_build asan address
run_build tsan thread

echo
echo "all builds: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
