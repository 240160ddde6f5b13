#!/usr/bin/env bash
# Fuzzes the lock-file reader and the stale-lock path for a bounded time
# (FUZZ_SECONDS, 60 by default), starting from the seeds in fuzz/corpus.
# New inputs go to a scratch corpus; a crash leaves its input in the build
# directory (FUZZ_BUILD, build-fuzz by default; a clang++ build of the whole
# tree configured with -DPTYBRIDGE_FUZZ=ON serves as well).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD:-build-fuzz}"

CXX=clang++ cmake -S . -B "$build" -DPTYBRIDGE_FUZZ=ON -DBUILD_TESTING=OFF \
    -DPTYBRIDGE_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target fuzz_lock

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
log="$build/fuzz_lock.log"
status=0
"$build/fuzz/fuzz_lock" -max_total_time="$seconds" -max_len=512 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/" "$scratch" fuzz/corpus \
    >"$log" 2>&1 || status=$?

stat() { sed -n "s/^stat::$1: *//p" "$log"; }
echo "== fuzz_lock: ${seconds} s"
echo "runs:            $(stat number_of_executed_units)"
echo "runs per second: $(stat average_exec_per_sec)"
echo "new inputs:      $(stat new_units_added)"
echo "coverage:        $(grep -o 'cov: [0-9]*' "$log" | tail -1)"
echo "seeds:           $(ls fuzz/corpus | wc -l)"
echo "peak RSS:        $(stat peak_rss_mb) MB"
if [ "$status" -ne 0 ]; then
    echo "FAILED (status $status):"
    grep -E 'ERROR|fuzz_lock:|SUMMARY|artifact' "$log" | head -20
    exit "$status"
fi
echo "no crash, no sanitizer report"
