#!/usr/bin/env bash
# Soaks the sandbox daemon: traffic both ways on both channels with
# hang-ups and unplugs, SOAK_SECONDS (60 by default); then a shorter run
# with the daemon under valgrind's memcheck (SOAK_VALGRIND_SECONDS, 20 by
# default, 0 to skip) when valgrind is installed. SOAK_BUILD names the build
# directory (build-soak by default; any build of the tree without
# sanitizers serves).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${SOAK_SECONDS:-60}"
valgrind_seconds="${SOAK_VALGRIND_SECONDS:-20}"
build="${SOAK_BUILD:-build-soak}"

cmake -S . -B "$build" -DPTYBRIDGE_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target ptybridge_soak

echo "== soak: ${seconds} s"
"$build/soak/ptybridge_soak" --seconds "$seconds"

if [ "$valgrind_seconds" -gt 0 ]; then
    if command -v valgrind >/dev/null; then
        echo "== soak under valgrind: ${valgrind_seconds} s"
        "$build/soak/ptybridge_soak" --seconds "$valgrind_seconds" --valgrind
    else
        echo "== soak under valgrind: skipped, valgrind is not installed"
    fi
fi
