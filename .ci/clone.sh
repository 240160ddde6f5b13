#!/usr/bin/env bash
# Runs the test suite once more from a fresh clone where a new user might
# put it: under a directory of mode 0700 (as /root is), in a path with a
# space, about 150 characters long. CLONE_USER=name runs the build and the
# suite as that user instead (the clone then belongs to them).
set -euo pipefail
cd "$(dirname "$0")/.."
source=$(pwd)

top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT
chmod 0700 "$top"
deep="$top/a checkout with spaces"
while [ ${#deep} -lt 140 ]; do deep="$deep/deeper"; done
deep="$deep/ptybridge"
echo "clone in $deep (${#deep} characters)"

git clone --quiet "$source" "$deep"
run() { "$@"; }
if [ -n "${CLONE_USER:-}" ]; then
    chown -R "$CLONE_USER" "$top"
    run() { setpriv --reuid="$CLONE_USER" --regid="$(id -g "$CLONE_USER")" --init-groups -- env HOME="$top" "$@"; }
fi
run cmake -S "$deep" -B "$deep/build" -DPTYBRIDGE_WERROR=ON >/dev/null
run cmake --build "$deep/build" -j2 >/dev/null
run ctest --test-dir "$deep/build" -j4 --output-on-failure
