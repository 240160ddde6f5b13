#!/usr/bin/env bash
# CI: builds the Debian packages as Debian builds them (dpkg-buildpackage,
# debian/), amd64 natively, armhf and arm64 with the cross compilers, with
# the pseudo-terminals published as links under /run/ptybridge; inspects
# them, runs lintian and hardening-check on them, and builds the amd64 one
# a second time elsewhere, in a path with a space, to compare the two byte
# for byte; then installs and runs the amd64 one through the
# packaging.installed_package test, and the same for a package of legacy
# pseudo-terminals.
#
# Each package is built from a copy of the sources in build-pkg[-ARCH]/src
# (dpkg-buildpackage writes beside the source tree) and ends up in
# build-pkg[-ARCH]/deb with its -dbgsym package and .changes file (amd64:
# and the source package, lintian checks it too).
# Arguments are passed on to CMake for the link-mode packages (no argument
# with a space); the legacy package is the same build with both links empty:
#   bash .ci/package.sh -DPTYBRIDGE_CTRL_LINK= -DPTYBRIDGE_AUDIO_LINK=
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# libc6:ARCH: dpkg-shlibdeps reads that architecture's C library symbols.
scripts/install-packages ca-certificates cmake make g++ g++-arm-linux-gnueabihf \
    g++-aarch64-linux-gnu libc6:armhf libc6:arm64 dpkg-dev debhelper lintian devscripts file \
    gzip socat util-linux

. tests/packaging/checks.sh

# Every build of the same commit gives the same packages: their dates are
# the commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
    export SOURCE_DATE_EPOCH
fi

times=()
timed() { # timed NAME COMMAND...: runs it, notes how long it took
    local name=$1 start=$SECONDS
    shift
    "$@"
    times+=("$(printf '%4d s  %s' $((SECONDS - start)) "$name")")
}

sources() { # the project's files, as a tar stream
    if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
        git -C "$src" ls-files -z --cached --others --exclude-standard |
            tar -C "$src" -c --null -T - --ignore-failed-read 2>/dev/null
    else
        tar -C "$src" -c --exclude='./build*' .
    fi
}

package() { # package ARCH DIR [CMAKE ARGS...]: builds into DIR/deb
    local arch=$1 dir=$2 build=binary
    shift 2
    # The amd64 link-mode package comes with its source package.
    [ "$dir" != "$src/build-pkg" ] || build=full
    rm -rf "$dir/src" "$dir/deb" "$dir"/ptybridge*_*
    mkdir -p "$dir/src" "$dir/deb"
    # Dated now, as in a fresh clone: no file's own date reaches a package,
    # all are clamped to SOURCE_DATE_EPOCH.
    sources | tar -x -m -C "$dir/src"
    if ! (cd "$dir/src" && PTYBRIDGE_CMAKE_ARGS="-DPTYBRIDGE_WERROR=ON $*" \
        dpkg-buildpackage -a "$arch" --build="$build" -us -uc -j2) >"$dir/build.log" 2>&1; then
        tail -n 30 "$dir/build.log"
        echo "FAILED: the $arch package did not build (log: $dir/build.log)"
        exit 1
    fi
    mv "$dir"/ptybridge*_* "$dir/deb/"
}

deb=
field() { dpkg-deb --field "$deb" "$1"; }
expected='./etc/init.d/ptybridge
./lib/systemd/system/modprobe@cdc_acm.service.d/ptybridge.conf
./lib/systemd/system/ptybridge.service
./usr/libexec/ptybridge/ptybridge-mdev
./usr/sbin/ptybridge
./usr/share/doc/ptybridge/60-ptybridge-modem.rules.example
./usr/share/doc/ptybridge/changelog.gz
./usr/share/doc/ptybridge/copyright
./usr/share/doc/ptybridge/inittab.example
./usr/share/doc/ptybridge/mdev.conf.example
./usr/share/man/man8/ptybridge.8.gz'

inspect() { # inspect ARCH DIR: the package's fields and files, its binary
    local arch=$1 extract
    deb=$(echo "$2"/deb/ptybridge_*_"$arch".deb)
    dpkg-deb --info "$deb"
    dpkg-deb --contents "$deb"
    check "architecture $arch" test "$(field Architecture)" = "$arch"
    check "$arch depends on the C library" grep -q '^libc6 (>= ' <<<"$(field Depends)"
    check "version is the project's" \
        grep -qx "project(ptybridge VERSION $(field Version) LANGUAGES CXX)" "$src/CMakeLists.txt"
    check "the init script is the only conffile" \
        test "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/init.d/ptybridge
    check "$arch: the daemon, its unit and drop-in, init script, mdev helper, manual page, examples and Debian's files" \
        test "$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)" = "$expected"
    extract=$(mktemp -d)
    dpkg-deb -x "$deb" "$extract"
    dpkg-deb -x "$2"/deb/ptybridge-dbgsym_*_"$arch".deb "$extract"
    file "$extract/usr/sbin/ptybridge"
    check "$arch binary is for $arch" \
        grep -q "$(case $arch in amd64) echo x86-64 ;; armhf) echo 'ARM, EABI5' ;; arm64) echo aarch64 ;; esac)" \
        <<<"$(file -b "$extract/usr/sbin/ptybridge")"
    check "$arch binary is stripped" grep -q ', stripped$' <<<"$(file -b "$extract/usr/sbin/ptybridge")"
    local id
    id=$(file -b "$extract/usr/sbin/ptybridge" | sed -n 's/.*BuildID\[sha1\]=\([0-9a-f]*\).*/\1/p')
    check "$arch debug symbols in ptybridge-dbgsym, by build ID" \
        test -f "$extract/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
    # Control-flow protection is marked in a program only when every object
    # linked into it is marked, and the C library's start files of Debian 12
    # are not: the daemon's own objects are checked for it instead. armhf
    # has none.
    check "$arch binary passes hardening-check" \
        hardening-check --nocfprotection "$extract/usr/sbin/ptybridge"
    local objects marked feature
    case $arch in
    amd64) feature='x86 feature: IBT, SHSTK' ;;
    arm64) feature='AArch64 feature: BTI, PAC' ;;
    *) feature= ;;
    esac
    if [ -n "$feature" ]; then
        objects=$(find "$2"/src/obj-*/CMakeFiles/ptybridge*.dir -name '*.o')
        marked=$(for o in $objects; do readelf -n "$o" | grep -m1 -F "$feature"; done | wc -l)
        check "$arch: the daemon's $(wc -w <<<"$objects") objects have control-flow protection" \
            test "$marked" = "$(wc -w <<<"$objects")" -a "$marked" -gt 0
    fi
    rm -rf "$extract"
}

test_installed() { # test_installed DIR DEB [CMAKE ARGS...]: install, run, purge it
    local dir=$1/test status=0 out
    deb=$2
    shift 2
    # A build of the same configuration, for the test and the modem emulator.
    cmake -S "$src" -B "$dir" -C "$src/cmake/debian-package.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX=/usr -DPTYBRIDGE_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j2 --target gsm-modem-emulator >/dev/null
    out=$(as_root env PTYBRIDGE_TEST_PACKAGE="$deb" \
        ctest --test-dir "$dir" -R '^packaging\.installed_package$' --output-on-failure 2>&1) ||
        status=$?
    echo "$out"
    check "the installed package passes its test" test "$status" = 0
    check "the installed package was run, not skipped" test -z "$(grep -F Skipped <<<"$out")"
}

# Builds run side by side: most of one is debhelper's single-threaded
# steps. Each notes its time in DIR/seconds.
pids=() names=() dirs=()
start_package() { # start_package NAME ARCH DIR [CMAKE ARGS...]
    local name=$1
    shift
    (
        t0=$SECONDS
        package "$@"
        echo $((SECONDS - t0)) >"$2/seconds"
    ) &
    pids+=($!) names+=("$name") dirs+=("$2")
}
wait_packages() { # waits for the started builds; a failed one ends the run
    local i status=0
    for i in "${!pids[@]}"; do
        wait "${pids[$i]}" || status=1
        [ "$status" = 0 ] || continue
        times+=("$(printf '%4d s  %s (side by side)' "$(cat "${dirs[$i]}/seconds")" "${names[$i]}")")
    done
    pids=() names=() dirs=()
    [ "$status" = 0 ] || { echo "FAILED: a package did not build"; exit 1; }
}
# Never leave a build running behind.
wait_all() {
    local pid
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    [ -z "${again:-}" ] || rm -rf "$again"
}
trap wait_all EXIT

legacy=(-DPTYBRIDGE_CTRL_LINK= -DPTYBRIDGE_AUDIO_LINK=)
echo "== the packages"
t0=$SECONDS
pkg_dir() { # where ARCH's package is built: build-pkg, build-pkg-ARCH
    if [ "$1" = amd64 ]; then echo "$src/build-pkg"; else echo "$src/build-pkg-$1"; fi
}
for arch in amd64 armhf arm64; do
    start_package "$arch package" "$arch" "$(pkg_dir "$arch")" "$@"
done
[ $# -ne 0 ] || start_package "amd64 package of legacy pseudo-terminals" amd64 "$src/build-pkg-legacy" "${legacy[@]}"
wait_packages
times+=("$(printf '%4d s  all packages' $((SECONDS - t0)))")

for arch in amd64 armhf arm64; do
    echo "== $arch package"
    inspect "$arch" "$(pkg_dir "$arch")"
done

# The amd64 package again, while the rest runs: another directory, with a
# space in its path, another time, another umask.
again=$(mktemp -d "${TMPDIR:-/tmp}/ptybridge again.XXXXXX")
umask_was=$(umask)
umask 0077
start_package "amd64 package again" amd64 "$again" "$@"
umask "$umask_was"

echo "== lintian"
lintian_all() {
    local out
    out=$(lintian --pedantic --display-info "$src"/build-pkg/deb/*.changes \
        "$src"/build-pkg-armhf/deb/*.changes "$src"/build-pkg-arm64/deb/*.changes 2>&1 |
        grep -v 'running with root privileges' || true)
    echo "$out"
    check "lintian: no tag on any package" test -z "$(grep -v '^N: ' <<<"$out")"
}
timed lintian lintian_all

echo "== the installed amd64 package"
timed "installed package" test_installed "$src/build-pkg" "$(echo "$src"/build-pkg/deb/ptybridge_*_amd64.deb)" "$@"
if [ $# -eq 0 ]; then
    echo "== the installed amd64 package of legacy pseudo-terminals"
    timed "installed legacy package" test_installed "$src/build-pkg-legacy" \
        "$(echo "$src"/build-pkg-legacy/deb/ptybridge_*_amd64.deb)" "${legacy[@]}"
fi

echo "== the amd64 package built again elsewhere"
wait_packages
for built in "$src"/build-pkg/deb/*.deb; do
    check "reproducible: $(basename "$built")" cmp "$built" "$again/deb/$(basename "$built")"
done
rm -rf "$again"

echo "== times"
printf '%s\n' "${times[@]}"
if [ "$failures" -ne 0 ]; then
    echo "package checks: $failures failed"
    exit 1
fi
echo "package checks: all passed"
