#!/usr/bin/env bash
# Runs a fuzz target for a bounded time from its seed corpus
# (QUORVANE_FUZZ_SECONDS, else SECONDS, else 60). Fails on any crash, sanitizer report,
# timeout or allocation beyond the limits; the failing input is left in WORKDIR.
set -euo pipefail
bin="$1" corpus="$2" work="$3" seconds="${4:-60}"
rm -rf "$work"
mkdir -p "$work/corpus"
cd "$work"
# Inputs up to 8 KiB reach the select limit (2000 ports); 64 MiB for one
# allocation is far beyond anything a request may cost before its bytes arrive.
"$bin" -max_total_time="${QUORVANE_FUZZ_SECONDS:-$seconds}" -max_len=8192 -timeout=10 \
  -rss_limit_mb=1024 -malloc_limit_mb=64 -print_final_stats=1 -artifact_prefix="$work/" \
  "$work/corpus" "$corpus" 2>fuzz.log || { tail -60 fuzz.log; exit 1; }
grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|Done)" fuzz.log || true
