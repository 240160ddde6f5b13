#!/usr/bin/env bash
# Fails if a process the test suite of a build tree started is still
# running: one whose program lies in the build tree, or that carries the
# suite's mark in its environment (every process a test starts does, the
# copies of the sandbox daemon run from a temporary directory included).
# Usage: .ci/leftovers.sh BUILD_DIR
set -uo pipefail
build=$(sed -n 's/^CMAKE_CACHEFILE_DIR:INTERNAL=//p' "${1:?usage: $0 BUILD_DIR}/CMakeCache.txt")
mark="PTYBRIDGE_TEST_RUN=$build"
left=0
while read -r pid; do
    [ "$pid" != $$ ] || continue
    # A zombie runs nothing; its parent, if it was the suite's, shows.
    state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$pid/status" 2>/dev/null)
    [ -n "$state" ] && [ "$state" != Z ] || continue
    echo "left running: $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
    left=1
done < <({
    grep -lzxF -- "$mark" /proc/[0-9]*/environ 2>/dev/null
    find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$build/*" 2>/dev/null
} | cut -d/ -f3 | sort -un)
if [ "$left" = 0 ]; then
    echo "no process of the test suite in $build is left running"
fi
exit "$left"
