#!/usr/bin/env bash
# CI: cross-builds everything for ARM with Debian's cross compilers and runs
# the whole test suite under qemu user-mode emulation, for each
# architecture given:
#   bash .ci/arm.sh [armhf] [arm64]      (default armhf; build-arm, build-arm64)
# The tests run through the toolchain's CMAKE_CROSSCOMPILING_EMULATOR; the
# daemon they start runs under qemu too, through a binfmt_misc entry that
# this script makes sure of. An emulated suite mostly waits on its
# daemons, so it runs in the background while the next architecture
# builds; each suite's output is printed when all have ended.
set -euo pipefail
cd "$(dirname "$0")/.."

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(armhf)
for arch in "${arches[@]}"; do
    case $arch in
    armhf | arm64) ;;
    *)
        echo "usage: .ci/arm.sh [armhf] [arm64]" >&2
        exit 2
        ;;
    esac
done


of() { # of ARCH: sets triplet, qemu, build and elf (what file(1) says of its programs)
    case $1 in
    armhf) triplet=arm-linux-gnueabihf qemu=arm build=build-arm elf='ELF 32-bit LSB .*ARM, EABI5' ;;
    arm64) triplet=aarch64-linux-gnu qemu=aarch64 build=build-arm64 elf='ELF 64-bit LSB .*ARM aarch64' ;;
    esac
}

prepare() { # prepare ARCH: its packages, binfmt_misc entry and build
    local arch=$1
    of "$arch"
    echo "== $arch packages"
    # Multiarch: the C and C++ runtimes the emulated programs load from /lib,
    # and GoogleTest built for the target.
    scripts/install-packages ca-certificates cmake make "g++-$triplet" qemu-user-static \
        "libc6:$arch" "libstdc++6:$arch" "libgtest-dev:$arch" mandoc

    echo "== binfmt_misc entry for qemu-$qemu"
    scripts/qemu-binfmt "$qemu"
    cat "/proc/sys/fs/binfmt_misc/qemu-$qemu"

    echo "== $arch cross build"
    cmake -S . -B "$build" --toolchain "cmake/$triplet.cmake" -DPTYBRIDGE_WERROR=ON >/dev/null
    cmake --build "$build" -j2

    file "$build/ptybridge"
    if ! grep -q "$elf" <<<"$(file -b "$build/ptybridge")"; then
        echo "$build/ptybridge is not an $arch program" >&2
        exit 1
    fi
    # The daemon under test is started by execve: target programs must run directly.
    if ! "$build/tests/test_daemon" --gtest_list_tests >/dev/null; then
        echo "$arch programs do not run directly: binfmt_misc is not working" >&2
        exit 1
    fi
}

suite() { # suite ARCH: the whole suite under qemu, and no process left behind
    local started=$SECONDS
    of "$1"
    ctest --test-dir "$build" -j4 --output-on-failure && bash .ci/leftovers.sh "$build"
    local status=$?
    echo "== $1 suite: $((SECONDS - started)) s"
    return "$status"
}

# A build that fails still waits for the suites already running.
trap wait EXIT
suites=()
for arch in "${arches[@]}"; do
    started=$SECONDS
    prepare "$arch"
    echo "== $arch build: $((SECONDS - started)) s"
    log=$build/suite.log
    suite "$arch" >"$log" 2>&1 &
    suites+=("$!:$arch:$log")
done
failed=0
for entry in "${suites[@]}"; do
    IFS=: read -r pid arch log <<<"$entry"
    status=0
    wait "$pid" || status=$?
    echo "== test suite under qemu for $arch"
    cat "$log"
    [ "$status" = 0 ] || { echo "== $arch suite failed"; failed=1; }
done
exit "$failed"
