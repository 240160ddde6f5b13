#!/usr/bin/env bash
# CI: builds the Debian packages, amd64 natively and armhf with the cross
# compiler; installs the amd64 one, runs the installed daemon until SIGTERM
# (reading what it logs on a /dev/log of its own), purges it and checks
# that nothing is left; inspects the armhf one.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

export DEBIAN_FRONTEND=noninteractive
# libc6:armhf: dpkg-shlibdeps reads the armhf C library's symbols from it.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    as_root dpkg --add-architecture armhf
fi
as_root apt-get update -qq
as_root apt-get install -y -qq --no-install-recommends \
    ca-certificates cmake make g++ g++-arm-linux-gnueabihf libc6:armhf \
    dpkg-dev file gzip python3 util-linux >/dev/null

failures=0
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

# Waits until a command succeeds, for at most $1 seconds.
wait_for() {
    local limit=$1
    shift
    local deadline=$((SECONDS + limit))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

package() { # package BUILD_DIR [CMAKE ARGS...]
    local dir=$1
    shift
    rm -rf "$dir/deb"
    # Package builds make only the daemon and its manual page: the install
    # step does not build everything else first.
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DBUILD_TESTING=OFF -DPTYBRIDGE_WERROR=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
        "$@" >/dev/null
    cmake --build "$dir" -j2 --target ptybridge ptybridge_man >/dev/null
    (cd "$dir" && cpack -G DEB -B "$dir/deb" >/dev/null)
    ls "$dir"/deb/ptybridge_*.deb
}

echo "== amd64 package"
deb=$(package "$src/build-pkg")
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

field() { dpkg-deb --field "$deb" "$1"; }
check "architecture amd64" test "$(field Architecture)" = amd64
check "depends on the C library" grep -q '^libc6 (>= ' <<<"$(field Depends)"
check "no conffiles" test -z "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep conffiles || true)"
expected='./usr/lib/systemd/system/ptybridge.service
./usr/sbin/ptybridge
./usr/share/man/man8/ptybridge.8.gz'
check "exactly the daemon, its unit and its manual page" \
    test "$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)" = "$expected"

echo "== install"
if dpkg -s ptybridge >/dev/null 2>&1; then as_root dpkg -P ptybridge >/dev/null; fi
as_root dpkg -i "$deb"
check "installed" test "$(dpkg-query -W -f '${Status}' ptybridge)" = "install ok installed"
check "daemon executable" test -x /usr/sbin/ptybridge
check "unit starts the installed daemon" \
    grep -qx 'ExecStart=/usr/sbin/ptybridge' /usr/lib/systemd/system/ptybridge.service
if command -v man >/dev/null; then
    check "man finds ptybridge(8)" test "$(man -w 8 ptybridge)" = /usr/share/man/man8/ptybridge.8.gz
fi
if command -v systemd-analyze >/dev/null; then
    check "installed unit passes systemd-analyze verify" \
        test -z "$(systemd-analyze verify /usr/lib/systemd/system/ptybridge.service 2>&1)"
fi

echo "== run the installed daemon"
work=$(mktemp -d)
mkdir "$work/dev"
# A syslog socket of our own, seen by the daemon at /dev/log through a
# mount namespace; the rest of /dev is hidden from it, so its devices are
# missing as on a machine without legacy pseudo-terminals.
python3 - "$work/dev/log" "$work/syslog" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "ab", buffering=0) as out:
    while True:
        out.write(s.recv(65536).rstrip(b"\0\n") + b"\n")
PY
listener=$!
wait_for 10 test -S "$work/dev/log"
locks_before=$(ls /var/lock/ 2>/dev/null | grep -c '^LCK\.\.' || true)
unshare --mount --propagation private \
    sh -c 'mount --bind "$1/dev" /dev && exec /usr/sbin/ptybridge -d 4' sh "$work" \
    >"$work/stdout" 2>"$work/stderr" &
daemon=$!
logged() { grep -c -F "$1" "$work/syslog" 2>/dev/null || true; }
has_logged() { [ "$(logged "$1")" -ge "${2:-1}" ]; }
check "running, logged at LOG_INFO" wait_for 15 grep -q '^<14>.* ptybridge: running$' "$work/syslog"
# Retried every second, forever: wait for a second attempt.
check "cannot open /dev/ptyp6, twice, at LOG_ERR" wait_for 15 has_logged \
    ': cannot open /dev/ptyp6 (2, No such file or directory)' 2
check "LOG_ERR priority" grep -q '^<11>.*: cannot open /dev/ptyp6 ' "$work/syslog"
check "still running" kill -0 "$daemon"
kill -TERM "$daemon"
gone() { ! kill -0 "$daemon" 2>/dev/null; }
check "stops on SIGTERM" wait_for 10 gone
status=0
wait "$daemon" || status=$?
check "exit status 0" test "$status" = 0
check "received signal 15, then exit" \
    test "$(grep -oE '(received signal [0-9]+|exit)$' "$work/syslog" | tr '\n' ' ')" = "received signal 15 exit "
check "nothing on stdout or stderr" test ! -s "$work/stdout" -a ! -s "$work/stderr"
check "no lock file left" \
    test "$(ls /var/lock/ 2>/dev/null | grep -c '^LCK\.\.' || true)" = "$locks_before"
kill "$listener" 2>/dev/null || true
wait "$listener" 2>/dev/null || true
echo "-- what it logged:"
cat "$work/syslog"
rm -rf "$work"

echo "== remove and purge"
as_root dpkg -r ptybridge >/dev/null
check "removed: files gone" test ! -e /usr/sbin/ptybridge -a ! -e /usr/lib/systemd/system/ptybridge.service \
    -a ! -e /usr/share/man/man8/ptybridge.8.gz
as_root dpkg -P ptybridge >/dev/null
check "purged: unknown to dpkg" test -z "$(dpkg-query -W -f '${Status}' ptybridge 2>/dev/null || true)"
check "purged: no file of it left" test -z "$(ls /var/lib/dpkg/info/ptybridge.* 2>/dev/null || true)"

echo "== armhf package"
armdeb=$(package "$src/build-pkg-armhf" --toolchain "$src/cmake/arm-linux-gnueabihf.cmake")
dpkg-deb --info "$armdeb"
dpkg-deb --contents "$armdeb"
deb=$armdeb
check "architecture armhf" test "$(field Architecture)" = armhf
check "armhf depends on the C library" grep -q '^libc6 (>= ' <<<"$(field Depends)"
extract=$(mktemp -d)
dpkg-deb -x "$armdeb" "$extract"
file "$extract/usr/sbin/ptybridge"
check "the binary is 32-bit ARM" grep -q 'ELF 32-bit LSB .*ARM, EABI5' <<<"$(file -b "$extract/usr/sbin/ptybridge")"
check "same files as amd64" \
    test "$(cd "$extract" && find . -type f | sort)" = "$expected"
rm -rf "$extract"

if [ "$failures" -ne 0 ]; then
    echo "package checks: $failures failed"
    exit 1
fi
echo "package checks: all passed"
