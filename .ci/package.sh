#!/usr/bin/env bash
# CI: builds the Debian packages, amd64 natively and armhf with the cross
# compiler, with the pseudo-terminals published as links under
# /run/ptybridge; installs the amd64 one and runs the installed daemon in a
# mount namespace of its own (its /dev/log, /dev/ttyACM* and /run are ours)
# with a modem of pseudo-terminals: a client talks to the modem through each
# link, hangs up and talks again; SIGKILL and a restart, then SIGTERM; purges it and checks that
# nothing is left; inspects the armhf one. Then the same install and run for
# a package of legacy pseudo-terminals, whose masters do not exist here.
#
# Arguments are passed on to CMake for the link-mode packages; the
# legacy package is the same build with both links empty:
#   bash .ci/package.sh -DPTYBRIDGE_CTRL_LINK= -DPTYBRIDGE_AUDIO_LINK=
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

links=(-DPTYBRIDGE_CTRL_LINK=/run/ptybridge/gsm-ctrl -DPTYBRIDGE_AUDIO_LINK=/run/ptybridge/gsm-audio -DPTYBRIDGE_CTRL_GSM=/dev/gsm-ctrl -DPTYBRIDGE_AUDIO_GSM=/dev/gsm-audio)

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

cached() { # cached BUILD_DIR VARIABLE: its value in the CMake cache
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

deb=
field() { dpkg-deb --field "$deb" "$1"; }
expected='./usr/lib/systemd/system/ptybridge.service
./usr/sbin/ptybridge
./usr/share/doc/ptybridge/60-ptybridge-modem.rules.example
./usr/share/man/man8/ptybridge.8.gz'
unit=/usr/lib/systemd/system/ptybridge.service

inspect() { # inspect ARCH: the package's fields and files
    dpkg-deb --info "$deb"
    dpkg-deb --contents "$deb"
    check "architecture $1" test "$(field Architecture)" = "$1"
    check "$1 depends on the C library" grep -q '^libc6 (>= ' <<<"$(field Depends)"
    check "no conffiles" test -z "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep conffiles || true)"
}

install_package() {
    if dpkg -s ptybridge >/dev/null 2>&1; then as_root dpkg -P ptybridge >/dev/null; fi
    as_root dpkg -i "$deb"
    check "installed" test "$(dpkg-query -W -f '${Status}' ptybridge)" = "install ok installed"
    check "daemon executable" test -x /usr/sbin/ptybridge
    check "unit starts the installed daemon" grep -qx 'ExecStart=/usr/sbin/ptybridge' "$unit"
    check "unit loads cdc_acm first" grep -qx 'After=modprobe@cdc_acm.service' "$unit"
    if command -v man >/dev/null; then
        check "man finds ptybridge(8)" test "$(man -w 8 ptybridge)" = /usr/share/man/man8/ptybridge.8.gz
    fi
    if command -v systemd-analyze >/dev/null; then
        check "installed unit passes systemd-analyze verify" \
            test -z "$(systemd-analyze verify "$unit" 2>&1)"
    fi
}

purge_package() {
    as_root dpkg -r ptybridge >/dev/null
    check "removed: files gone" test ! -e /usr/sbin/ptybridge -a ! -e "$unit" \
        -a ! -e /usr/share/man/man8/ptybridge.8.gz -a ! -e /usr/share/doc/ptybridge
    as_root dpkg -P ptybridge >/dev/null
    check "purged: unknown to dpkg" test -z "$(dpkg-query -W -f '${Status}' ptybridge 2>/dev/null || true)"
    check "purged: no file of it left" test -z "$(ls /var/lib/dpkg/info/ptybridge.* 2>/dev/null || true)"
}

# The lock files and temporary lock files in /var/lock.
lock_entries() { ls /var/lock/ 2>/dev/null | grep -E '^(LCK\.\.|LTMP\.)' || true; }

work=
listener=
modem=
daemon=
# A syslog socket of our own, which the daemon sees at /dev/log.
start_listener() {
    work=$(mktemp -d)
    mkdir "$work/dev" "$work/run"
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
}

stop_helpers() {
    local pid
    for pid in $modem $listener; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    modem= listener=
    echo "-- what it logged:"
    cat "$work/syslog"
    rm -rf "$work"
}

logged() { grep -c -F "$1" "$work/syslog" 2>/dev/null || true; }
has_logged() { [ "$(logged "$1")" -ge "${2:-1}" ]; }
gone() { ! kill -0 "$daemon" 2>/dev/null; }

stop_daemon() { # SIGTERM, and the orderly stop it asks for
    check "still running" kill -0 "$daemon"
    kill -TERM "$daemon"
    check "stops on SIGTERM" wait_for 10 gone
    local status=0
    wait "$daemon" || status=$?
    check "exit status 0" test "$status" = 0
    check "received signal 15, then exit" \
        test "$(grep -oE '(received signal [0-9]+|exit)$' "$work/syslog" | tr '\n' ' ')" = "received signal 15 exit "
    check "nothing on stdout or stderr" test ! -s "$work/stdout" -a ! -s "$work/stderr"
}

# A modem of two pseudo-terminal pairs: their slaves are the daemon's
# /dev/ttyACM12 and /dev/ttyACM11; each answers a line ending in CR with OK.
start_modem() {
    python3 - "$work/dev" <<'PY' &
import os, select, sys, time, tty
channels = {}
for name in ("ttyACM12", "ttyACM11"):
    master, slave = os.openpty()
    tty.setraw(slave)
    os.symlink(os.ttyname(slave), os.path.join(sys.argv[1], name))
    os.close(slave)
    channels[master] = b""
open(os.path.join(sys.argv[1], "modem.ready"), "w").close()
while True:
    ready, _, _ = select.select(list(channels), [], [], 0.1)
    for fd in ready:
        try:
            data = os.read(fd, 4096)
        except OSError:
            time.sleep(0.05)  # no slave open: the daemon has the port closed
            continue
        channels[fd] += data
        while b"\r" in channels[fd]:
            _, channels[fd] = channels[fd].split(b"\r", 1)
            os.write(fd, b"\r\nOK\r\n")
PY
    modem=$!
    wait_for 10 test -e "$work/dev/modem.ready"
}

# A client on LINK: opens it (the slave behind it may be on its way), sends
# AT and waits for OK, then hangs up. At most 10 seconds.
exchange() {
    python3 - "$1" <<'PY'
import errno, os, select, sys, time, tty
deadline = time.monotonic() + 10
while True:
    try:
        fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
        break
    except OSError as e:
        if e.errno not in (errno.ENOENT, errno.EIO, errno.ENXIO) or time.monotonic() > deadline:
            sys.exit(f"cannot open {sys.argv[1]}: {e}")
        time.sleep(0.05)
tty.setraw(fd)
os.write(fd, b"AT\r")
answer = b""
while b"OK\r\n" not in answer:
    left = deadline - time.monotonic()
    if left <= 0 or not select.select([fd], [], [], left)[0]:
        sys.exit(f"no OK through {sys.argv[1]}, got {answer!r}")
    answer += os.read(fd, 4096)
os.close(fd)
PY
}

run_link_mode() {
    local ctrl_link=$1 audio_link=$2
    start_listener
    start_modem
    # The runtime directory, as systemd makes it for the unit; a link that
    # a killed daemon left behind, which the next start replaces.
    mkdir -m 0755 "$work/run/ptybridge"
    # The machine's lock directory stays where it is: on Debian /var/lock
    # leads into /run, which the namespace replaces.
    mkdir "$work/lock" "$work/run/lock"
    ln -s /dev/pts/999999 "$work/run/ptybridge/$(basename "$ctrl_link")"
    # The machine's pseudo-terminals: its devpts, and /dev/ptmx as that
    # instance's own multiplexer, so that slaves appear where clients
    # outside the namespace find them.
    mkdir "$work/dev/pts"
    ln -s pts/ptmx "$work/dev/ptmx"
    local locks_before
    locks_before=$(lock_entries)
    local ctrl=$work$ctrl_link audio=$work$audio_link
    local ctrl_lock=/var/lock/LCK..ptybridge-$(basename "$ctrl_link")
    local audio_lock=/var/lock/LCK..ptybridge-$(basename "$audio_link")
    slave_linked() { [[ "$(readlink "$1")" =~ ^/dev/pts/[0-9]+$ ]] && [ -c "$(readlink "$1")" ]; }
    locked_by_daemon() {
        local pid
        pid=$(printf '%10d' "$daemon")
        [ "$(cat "$ctrl_lock" 2>/dev/null)" = "$pid" ] && [ "$(cat "$audio_lock" 2>/dev/null)" = "$pid" ]
    }

    start_link_daemon
    check "running, logged at LOG_INFO" wait_for 15 grep -q '^<14>.* ptybridge: running$' "$work/syslog"
    check "ctrl link to a live slave, the stale one replaced" wait_for 10 slave_linked "$ctrl"
    check "audio link to a live slave" wait_for 10 slave_linked "$audio"
    # In the group the unit gives it, as a serial device is.
    check "slaves in group dialout, mode 0660" \
        test "$(stat -L -c '%G %a' "$ctrl" "$audio" | tr '\n' ' ')" = "dialout 660 dialout 660 "
    check "master locks name the links and the daemon" locked_by_daemon
    local round
    for round in 1 2 3; do
        local closes
        closes=$(logged ' close, fd=')
        check "round $round: AT, OK through the ctrl link" exchange "$ctrl"
        check "round $round: AT, OK through the audio link" exchange "$audio"
        # Each hang-up closes a master with its modem port: four closes.
        check "round $round: hang-ups close the channels" wait_for 10 has_logged ' close, fd=' $((closes + 4))
        check "round $round: modem locks released" \
            wait_for 10 test ! -e /var/lock/LCK..ttyACM12 -a ! -e /var/lock/LCK..ttyACM11
    done
    check "both links back after the hang-ups" wait_for 10 slave_linked "$ctrl"

    # Killed, it leaves its links and locks behind; the next start takes
    # both over.
    kill -KILL "$daemon"
    wait "$daemon" 2>/dev/null || true
    check "a killed daemon leaves its links and locks" \
        test -L "$ctrl" -a -L "$audio" -a -e "$ctrl_lock" -a -e "$audio_lock"
    start_link_daemon
    check "restarted" wait_for 15 has_logged ' ptybridge: running' 2
    check "restarted: stale locks taken over" wait_for 10 locked_by_daemon
    check "restarted: AT, OK through the ctrl link" exchange "$ctrl"
    check "restarted: AT, OK through the audio link" exchange "$audio"

    check "nothing logged at LOG_ERR" test "$(grep -c '^<11>' "$work/syslog")" = 0
    stop_daemon
    check "links removed" test -z "$(ls -A "$work/run/ptybridge")"
    check "no lock file left" test "$(lock_entries)" = "$locks_before"
    stop_helpers
}

# The installed daemon, in group dialout as the unit runs it, with /dev
# and /run of the test's own.
start_link_daemon() {
    unshare --mount --propagation private sh -c '
        mount --bind /dev/pts "$1/dev/pts" &&
        mount --bind "$(realpath /var/lock)" "$1/lock" &&
        mount --rbind "$1/dev" /dev && mount --bind "$1/run" /run &&
        mount --bind "$1/lock" "$(realpath -m /var/lock)" &&
        exec setpriv --regid=dialout --clear-groups /usr/sbin/ptybridge -d 4' sh "$work" \
        >>"$work/stdout" 2>>"$work/stderr" &
    daemon=$!
}

run_legacy_mode() {
    start_listener
    # The rest of /dev is hidden from it, so its masters are missing as on
    # a machine without legacy pseudo-terminals.
    local locks_before
    locks_before=$(lock_entries)
    unshare --mount --propagation private \
        sh -c 'mount --bind "$1/dev" /dev && exec /usr/sbin/ptybridge -d 4' sh "$work" \
        >"$work/stdout" 2>"$work/stderr" &
    daemon=$!
    check "running, logged at LOG_INFO" wait_for 15 grep -q '^<14>.* ptybridge: running$' "$work/syslog"
    # Retried every second, forever: wait for a second attempt.
    check "cannot open /dev/ptyp6, twice, at LOG_ERR" wait_for 15 has_logged \
        ': cannot open /dev/ptyp6 (2, No such file or directory)' 2
    check "LOG_ERR priority" grep -q '^<11>.*: cannot open /dev/ptyp6 ' "$work/syslog"
    stop_daemon
    check "no lock file left" test "$(lock_entries)" = "$locks_before"
    stop_helpers
}

test_installed() { # test_installed BUILD_DIR: install, run, purge its package
    local ctrl_link audio_link
    ctrl_link=$(cached "$1" PTYBRIDGE_CTRL_LINK)
    audio_link=$(cached "$1" PTYBRIDGE_AUDIO_LINK)
    echo "== install"
    install_package
    if [ -n "$ctrl_link" ] && [ -n "$audio_link" ]; then
        check "unit owns the links' directory" grep -qx 'RuntimeDirectory=ptybridge' "$unit"
        check "unit allows /dev/ptmx and its slaves" \
            test "$(grep -cxE 'DeviceAllow=(/dev/ptmx|char-pts) rw' "$unit")" = 2
        echo "== run the installed daemon, links $ctrl_link and $audio_link"
        run_link_mode "$ctrl_link" "$audio_link"
    elif [ -z "$ctrl_link" ] && [ -z "$audio_link" ]; then
        check "unit allows the legacy masters" grep -qx 'DeviceAllow=/dev/ptyp6 rw' "$unit"
        echo "== run the installed daemon, legacy pseudo-terminals"
        run_legacy_mode
    else
        echo "(one channel linked: not run)"
    fi
    echo "== remove and purge"
    purge_package
}

echo "== amd64 package"
deb=$(package "$src/build-pkg" "${links[@]}" "$@")
inspect amd64
check "exactly the daemon, its unit, its manual page and the udev example" \
    test "$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)" = "$expected"
test_installed "$src/build-pkg"

echo "== armhf package"
deb=$(package "$src/build-pkg-armhf" --toolchain "$src/cmake/arm-linux-gnueabihf.cmake" \
    "${links[@]}" "$@")
inspect armhf
extract=$(mktemp -d)
dpkg-deb -x "$deb" "$extract"
file "$extract/usr/sbin/ptybridge"
check "the binary is 32-bit ARM" grep -q 'ELF 32-bit LSB .*ARM, EABI5' <<<"$(file -b "$extract/usr/sbin/ptybridge")"
check "same files as amd64" \
    test "$(cd "$extract" && find . -type f | sort)" = "$expected"
rm -rf "$extract"

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
