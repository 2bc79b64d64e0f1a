#!/usr/bin/env bash
# Builds the benchmark into build-bench and runs it; extra arguments go to the
# driver (for example --rounds 3 --seconds 2 --modes window,relay --payloads 100,
# or --modes collector for quorvane-collector's relay against its floor, with
# --hup 1000 for a fourth arm that gets 1000 SIGHUPs a second).
# `bench/run.sh templates [--rounds 5 --seconds 1.5 --parts cost,memory,mix]`
# runs template_cost instead: what exporters' templates cost the collector.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVANE_BENCH_BUILD:-$root/build-bench}"
mkdir -p "$build"
cmake -S "$root/bench" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
if [ "${1:-}" = templates ]; then
  shift
  cmake --build "$build" -j"$(nproc)" --target template_cost quorvane-collector >/dev/null
  echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
  exec "$build/template_cost" --collector "$build/quorvane/tools/quorvane-collector" "$@"
fi
cmake --build "$build" -j"$(nproc)" --target quorvane_emul floor_relay floor_collector malloc_count quorvane_bench quorvane-collector >/dev/null
echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
exec "$build/quorvane_bench" --daemon "$build/quorvane/test/quorvane_emul" --floor "$build/floor_relay" \
  --preload "$build/libmalloc_count.so" --collector "$build/quorvane/tools/quorvane-collector" \
  --floor-collector "$build/floor_collector" "$@"
