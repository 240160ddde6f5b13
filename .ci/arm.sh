#!/usr/bin/env bash
# CI: cross-builds everything for 32-bit ARM (armhf) with Debian's cross
# compiler and runs the whole test suite under qemu user-mode emulation.
# The tests run through the toolchain's CMAKE_CROSSCOMPILING_EMULATOR; the
# daemon they start runs under qemu too, through a binfmt_misc entry that
# this script makes sure of.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

echo "== packages"
# Multiarch armhf: the C and C++ runtimes the emulated programs load from
# /lib, and GoogleTest built for armhf.
scripts/install-packages ca-certificates cmake make g++-arm-linux-gnueabihf qemu-user-static \
    libc6:armhf libstdc++6:armhf libgtest-dev:armhf mandoc

echo "== binfmt_misc entry for ARM"
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    as_root mount -t binfmt_misc binfmt_misc "$binfmt"
fi
# qemu-user-static's entry: a static emulator (the tests preload an ARM
# library into the daemon, which a dynamically linked qemu would try to
# load itself), opened at registration (flag F), so it also works where
# the path is not visible.
entry=$(sed -n 's/^\(:qemu-arm:.*\)$/\1/p' /usr/lib/binfmt.d/qemu-arm.conf)
interpreter=$(printf '%s' "$entry" | cut -d: -f7)
if [ -e "$binfmt/qemu-arm" ] && ! grep -qx "interpreter $interpreter" "$binfmt/qemu-arm"; then
    echo "replacing the qemu-arm entry: $(grep interpreter "$binfmt/qemu-arm")"
    as_root sh -c "echo -1 > $binfmt/qemu-arm"
fi
if [ ! -e "$binfmt/qemu-arm" ]; then
    as_root sh -c "printf '%s\n' '$entry' > $binfmt/register"
fi
if ! grep -qx enabled "$binfmt/qemu-arm"; then
    as_root sh -c "echo 1 > $binfmt/qemu-arm"
fi
cat "$binfmt/qemu-arm"

echo "== cross build"
cmake -S . -B build-arm --toolchain cmake/arm-linux-gnueabihf.cmake -DPTYBRIDGE_WERROR=ON >/dev/null
cmake --build build-arm -j2

file build-arm/ptybridge
# The daemon under test is started by execve: ARM programs must run directly.
if ! build-arm/tests/test_daemon --gtest_list_tests >/dev/null; then
    echo "ARM programs do not run directly: binfmt_misc is not working" >&2
    exit 1
fi

echo "== test suite under qemu-arm"
ctest --test-dir build-arm -j4 --output-on-failure
