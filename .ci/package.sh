#!/usr/bin/env bash
# CI: builds the Debian packages, amd64 natively and armhf and arm64 with the
# cross compilers, with the pseudo-terminals published as links under
# /run/ptybridge, and inspects them; then installs and runs the amd64 one
# through the packaging.installed_package test of its own build, and the
# same for a package of legacy pseudo-terminals.
#
# Arguments are passed on to CMake for the link-mode packages; the
# legacy package is the same build with both links empty:
#   bash .ci/package.sh -DPTYBRIDGE_CTRL_LINK= -DPTYBRIDGE_AUDIO_LINK=
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

export DEBIAN_FRONTEND=noninteractive
# libc6:armhf, libc6:arm64: dpkg-shlibdeps reads the target C library's
# symbols from them.
for foreign in armhf arm64; do
    if ! grep -qx "$foreign" <<<"$(dpkg --print-foreign-architectures)"; then
        as_root dpkg --add-architecture "$foreign"
    fi
done
wanted=(ca-certificates cmake make g++ g++-arm-linux-gnueabihf libc6:armhf
    g++-aarch64-linux-gnu libc6:arm64 dpkg-dev file gzip socat util-linux)
if ! dpkg -s "${wanted[@]}" >/dev/null 2>&1; then
    as_root apt-get update -qq
    as_root apt-get install -y -qq --no-install-recommends "${wanted[@]}" >/dev/null
fi

. tests/packaging/checks.sh

links=(-DPTYBRIDGE_CTRL_LINK=/run/ptybridge/gsm-ctrl -DPTYBRIDGE_AUDIO_LINK=/run/ptybridge/gsm-audio -DPTYBRIDGE_CTRL_GSM=/dev/gsm-ctrl -DPTYBRIDGE_AUDIO_GSM=/dev/gsm-audio)

package() { # package BUILD_DIR [CMAKE ARGS...]
    local dir=$1
    shift
    rm -rf "$dir/deb"
    # Package builds make only the daemon and its manual page (and the
    # modem emulator for the installed-package test): the install step
    # does not build everything else first.
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DPTYBRIDGE_WERROR=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "$@" >/dev/null
    cmake --build "$dir" -j2 --target ptybridge ptybridge_man >/dev/null
    (cd "$dir" && cpack -G DEB -B "$dir/deb" >/dev/null)
    ls "$dir"/deb/ptybridge_*.deb
}

deb=
field() { dpkg-deb --field "$deb" "$1"; }
expected='./usr/lib/systemd/system/ptybridge.service
./usr/sbin/ptybridge
./usr/share/doc/ptybridge/60-ptybridge-modem.rules.example
./usr/share/man/man8/ptybridge.8.gz'

inspect() { # inspect ARCH: the package's fields and files
    dpkg-deb --info "$deb"
    dpkg-deb --contents "$deb"
    check "architecture $1" test "$(field Architecture)" = "$1"
    check "$1 depends on the C library" grep -q '^libc6 (>= ' <<<"$(field Depends)"
    check "no conffiles" test -z "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep conffiles || true)"
}

test_installed() { # test_installed BUILD_DIR: install, run, purge its package
    cmake --build "$1" -j2 --target gsm-modem-emulator >/dev/null
    local status=0 out
    out=$(as_root env PTYBRIDGE_TEST_PACKAGE="$deb" \
        ctest --test-dir "$1" -R '^packaging\.installed_package$' --output-on-failure 2>&1) ||
        status=$?
    echo "$out"
    check "the installed package passes its test" test "$status" = 0
    check "the installed package was run, not skipped" test -z "$(grep -F Skipped <<<"$out")"
}

echo "== amd64 package"
deb=$(package "$src/build-pkg" "${links[@]}" "$@")
inspect amd64
check "exactly the daemon, its unit, its manual page and the udev example" \
    test "$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)" = "$expected"
test_installed "$src/build-pkg"

cross_package() { # cross_package ARCH TOOLCHAIN WHAT ELF [CMAKE ARGS...]
    local arch=$1 toolchain=$2 what=$3 elf=$4
    shift 4
    echo "== $arch package"
    deb=$(package "$src/build-pkg-$arch" --toolchain "$src/cmake/$toolchain.cmake" \
        -DBUILD_TESTING=OFF "${links[@]}" "$@")
    inspect "$arch"
    local extract
    extract=$(mktemp -d)
    dpkg-deb -x "$deb" "$extract"
    file "$extract/usr/sbin/ptybridge"
    check "the binary is $what" grep -q "$elf" <<<"$(file -b "$extract/usr/sbin/ptybridge")"
    check "same files as amd64" \
        test "$(cd "$extract" && find . -type f | sort)" = "$expected"
    rm -rf "$extract"
}
cross_package armhf arm-linux-gnueabihf "32-bit ARM" 'ELF 32-bit LSB .*ARM, EABI5' "$@"
cross_package arm64 aarch64-linux-gnu "64-bit ARM" 'ELF 64-bit LSB .*ARM aarch64' "$@"

if [ $# -eq 0 ]; then
    echo "== amd64 package of legacy pseudo-terminals"
    deb=$(package "$src/build-pkg-legacy" -DPTYBRIDGE_CTRL_LINK= -DPTYBRIDGE_AUDIO_LINK=)
    inspect amd64
    test_installed "$src/build-pkg-legacy"
fi

if [ "$failures" -ne 0 ]; then
    echo "package checks: $failures failed"
    exit 1
fi
echo "package checks: all passed"
