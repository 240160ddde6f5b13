#!/usr/bin/env bash
# Quick run of the benchmark: the daemon against socat and against no relay,
# interleaved, one table (under a minute). Needs socat; perf or strace for
# the idle count.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DPTYBRIDGE_WERROR=ON >/dev/null
cmake --build build-bench -j2 --target ptybridge-bench
build-bench/bench/ptybridge-bench --quick
