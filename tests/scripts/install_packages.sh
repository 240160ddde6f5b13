#!/usr/bin/env bash
# scripts/install-packages against apt's real resolver, offline and without
# changing the machine: a local archive of one package and a source whose
# index cannot be fetched, both in a sources list of the test's own, apt's
# lists in a directory of its own, installs only simulated, sudo passed by.
#   install_packages.sh nothing_missing | failed_index | absent_named
set -euo pipefail
helper=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-packages
command -v apt-get >/dev/null && command -v dpkg-query >/dev/null ||
    { echo "no apt here"; exit 77; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/archive" "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/parts" "$tmp/bin"
cat >"$tmp/archive/Packages" <<'PACKAGES'
Package: ptybridge-test-available
Version: 1.0
Architecture: all
Maintainer: ptybridge <ptybridge@example.invalid>
Filename: ./ptybridge-test-available_1.0_all.deb
Size: 100
Description: a package only this test's archive has
PACKAGES
printf 'deb [trusted=yes] file:%s ./\n' "$tmp/archive" "$tmp/no-such-archive" >"$tmp/sources.list"
cat >"$tmp/apt.conf" <<CONF
Dir::Etc::SourceList "$tmp/sources.list";
Dir::Etc::SourceParts "$tmp/parts";
Dir::State::Lists "$tmp/lists";
Dir::Cache "$tmp/cache";
APT::Get::Simulate "true";
CONF
printf '#!/bin/sh\nexec "$@"\n' >"$tmp/bin/sudo"
chmod +x "$tmp/bin/sudo"
export APT_CONFIG=$tmp/apt.conf PATH=$tmp/bin:$PATH

status=0
out=
fail() { echo "FAIL: $*"; echo "--- output (status $status)"; echo "$out"; exit 1; }
updated() { [ -n "$(find "$tmp/lists" -name '*Packages*' -print -quit)" ]; }

case $1 in
nothing_missing)
    # What is installed asks for no index.
    "$helper" bash coreutils || fail "status $?"
    updated && fail "the indexes were updated although nothing was missing"
    ;;
failed_index)
    out=$("$helper" bash ptybridge-test-available 2>&1) || status=$?
    [ "$status" = 0 ] || fail "an index that failed stopped an install that could go on"
    grep -q 'Some index files failed to download' <<<"$out" || fail "apt did not see the failed index"
    grep -qx 'install-packages: installing ptybridge-test-available' <<<"$out" ||
        fail "not the missing package alone installed"
    ;;
absent_named)
    out=$("$helper" ptybridge-test-available ptybridge-test-absent 2>&1) || status=$?
    [ "$status" != 0 ] || fail "succeeded without a package no archive has"
    grep -q 'cannot be had .*: ptybridge-test-absent$' <<<"$out" ||
        fail "the package that cannot be had is not named alone"
    ;;
*) echo "unknown case $1" >&2; exit 2 ;;
esac
echo "$out"
