#!/usr/bin/env bash
# The Debian package as a user gets it: installs the package that
# PTYBRIDGE_TEST_PACKAGE names, runs the installed daemon in a mount
# namespace of its own (its /dev/log, modem devices, /run and lock
# directory are the test's) with the modem emulator as its modem, then
# purges the package and checks that nothing of it is left, its unit's
# enablement included.
#
# Link mode: a planted stale link is replaced, the slaves are the unit's
# group's, AT and OK pass through each link with a hang-up after every
# round, and SIGTERM leaves no link, lock or temporary lock file. (What a
# killed daemon leaves is the link tests' business.) Legacy mode: the
# missing masters are retried.
#
# It installs system-wide, so it runs only when asked, as root:
#   PTYBRIDGE_TEST_PACKAGE=path/to/ptybridge_*.deb ctest -R installed_package
# Arguments: EMULATOR, then NAME=VALUE for ctrl_pty, ctrl_gsm, audio_gsm,
# lock_dir, ctrl_link, audio_link, ctrl_lock and audio_lock as the package
# was built (the links empty for legacy pseudo-terminals; the locks are the
# names the masters are locked under).
set -uo pipefail
emulator=$1
shift
ctrl_pty= ctrl_gsm= audio_gsm= lock_dir= ctrl_link= audio_link= ctrl_lock= audio_lock=
for setting in "$@"; do
    case ${setting%%=*} in
    ctrl_pty | ctrl_gsm | audio_gsm | lock_dir | ctrl_link | audio_link | ctrl_lock | audio_lock)
        printf -v "${setting%%=*}" '%s' "${setting#*=}" ;;
    *) echo "unknown argument $setting"; exit 2 ;;
    esac
done

. "$(dirname "$0")/checks.sh"
deb=${PTYBRIDGE_TEST_PACKAGE:-}
[ -n "$deb" ] || skip "PTYBRIDGE_TEST_PACKAGE does not name a package to install"
[ -f "$deb" ] || skip "no package at $deb"
[ "$(id -u)" = 0 ] || skip "installing a package needs root"
for tool in dpkg dpkg-query unshare setpriv socat timeout stty; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
getent group dialout >/dev/null || skip "no group dialout to run the daemon in"
if dpkg-query -W -f '${Status}' ptybridge 2>/dev/null | grep -q installed; then
    skip "ptybridge is installed on this machine already: not replaced by a test"
fi

work=$(mktemp -d)
daemon= listener= modem=
unit=/lib/systemd/system/ptybridge.service

stop_pid() {
    [ -n "$1" ] || return 0
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
cleanup() {
    stop_pid "$daemon"
    stop_pid "$modem"
    stop_pid "$listener"
    dpkg -P ptybridge >/dev/null 2>&1
    if [ -s "$work/syslog" ]; then
        echo "-- what it logged:"
        logged_lines
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The daemon's syslog: a datagram socket of our own that it sees at
# /dev/log. Datagrams come without line ends; each starts with "<priority>".
mkdir "$work/dev" "$work/run" "$work/lock"
socat -u "UNIX-RECV:$work/dev/log" "OPEN:$work/syslog,creat,append" &
listener=$!
wait_for 10 test -S "$work/dev/log" || { echo "no syslog socket"; exit 1; }
logged_lines() { sed 's/<[0-9]\{1,3\}>/\n&/g' "$work/syslog" | sed '/^$/d'; }
count() { logged_lines | grep -c -F -- "$1"; }
has_logged() { [ "$(count "$1")" -ge "${2:-1}" ]; }
gone() { ! kill -0 "$daemon" 2>/dev/null; }

# The lock files and temporary lock files of the lock directory.
lock_entries() { ls "$work/lock" | grep -E '^(LCK\.\.|LTMP\.)'; }

echo "== install $deb"
dpkg -i "$deb" >/dev/null || { echo "FAILED: dpkg -i"; exit 1; }
check "installed" test "$(dpkg-query -W -f '${Status}' ptybridge)" = "install ok installed"
check "daemon executable" test -x /usr/sbin/ptybridge
check "enabled at install" test -L /etc/systemd/system/multi-user.target.wants/ptybridge.service
check "init script registered at install" \
    test -x /etc/init.d/ptybridge -a -n "$(find /etc/rc2.d -name 'S*ptybridge' 2>/dev/null)"
check "unit starts the installed daemon" grep -qx 'ExecStart=/usr/sbin/ptybridge' "$unit"
check "unit loads cdc_acm first" grep -qx 'After=modprobe@cdc_acm.service' "$unit"
dropin=/lib/systemd/system/modprobe@cdc_acm.service.d/ptybridge.conf
check "cdc_acm's modprobe skipped once it is loaded" \
    grep -qx 'ConditionPathIsDirectory=!/sys/module/cdc_acm' "$dropin"
if command -v man >/dev/null; then
    check "man finds ptybridge(8)" test "$(man -w 8 ptybridge)" = /usr/share/man/man8/ptybridge.8.gz
fi
if command -v systemd-analyze >/dev/null; then
    check "installed unit passes systemd-analyze verify" \
        test -z "$(systemd-analyze verify "$unit" 2>&1)"
    check "the drop-in passes systemd-analyze verify" \
        test -z "$(systemd-analyze verify modprobe@cdc_acm.service 2>&1)"
fi

# The installed daemon in group dialout, as the unit runs it, with the
# test's /dev (the machine's devpts inside it), /run and lock directory.
start_daemon() {
    unshare --mount --propagation private sh -c '
        work=$1 lock_dir=$2
        mount --bind /dev/pts "$work/dev/pts" &&
        mount --rbind "$work/dev" /dev && mount --bind "$work/run" /run &&
        lock_dir=$(realpath -m "$lock_dir") && mkdir -p "$lock_dir" &&
        mount --bind "$work/lock" "$lock_dir" &&
        exec setpriv --regid=dialout --clear-groups /usr/sbin/ptybridge -d 4' \
        sh "$work" "$lock_dir" >>"$work/stdout" 2>>"$work/stderr" &
    daemon=$!
}

stop_daemon() { # SIGTERM, and the orderly stop it asks for
    check "still running" kill -0 "$daemon"
    kill -TERM "$daemon"
    check "stops on SIGTERM" wait_for 10 gone
    local status=0
    wait "$daemon" || status=$?
    daemon=
    check "exit status 0" test "$status" = 0
    check "received signal 15, then exit" \
        test "$(logged_lines | grep -oE '(received signal [0-9]+|exit)$' | tr '\n' ' ')" = "received signal 15 exit "
    check "nothing on stdout or stderr" test ! -s "$work/stdout" -a ! -s "$work/stderr"
    check "no lock file or temporary lock file left" test -z "$(lock_entries)"
}

# A client on a link: opens it (the slave behind it may be on its way) and
# hangs up when done. ctrl: AT, and OK back from the modem; audio: bytes
# the modem counts as received.
exchange_ctrl() {
    timeout 10 bash -c '
        until exec 3<>"$1"; do sleep 0.05; done 2>/dev/null
        stty -F "$1" raw -echo || exit 1
        printf "AT\r" >&3
        grep -q -m1 "^OK" <&3' sh "$1"
}
# What the modem has counted as received on its audio channel: the status
# written afresh on request (the FIFO's open waits for the modem: bounded).
audio_received() {
    rm -f "$work/modem.status"
    timeout 5 sh -c 'echo status >"$1"' sh "$work/modem.ctl" &&
        wait_for 5 test -e "$work/modem.status" &&
        sed -n 's/.* audio_rx=\([0-9]*\).*/\1/p' "$work/modem.status"
}
audio_received_at_least() { [ "$(audio_received)" -ge "$1" ]; }
exchange_audio() {
    local before
    before=$(audio_received) || return 1
    timeout 10 bash -c '
        until exec 3<>"$1"; do sleep 0.05; done 2>/dev/null
        printf "pcm" >&3' sh "$1" || return 1
    wait_for 10 audio_received_at_least $((before + 3))
}

run_link_mode() {
    local ctrl=$work$ctrl_link audio=$work$audio_link
    local ctrl_lock_file=$work/lock/LCK..${ctrl_lock##*/}
    local audio_lock_file=$work/lock/LCK..${audio_lock##*/}
    check "unit owns the links' directory" grep -qx 'RuntimeDirectory=ptybridge' "$unit"
    check "unit allows /dev/ptmx and its slaves" \
        test "$(grep -cxE 'DeviceAllow=(/dev/ptmx|char-pts) rw' "$unit")" = 2

    # The modem, at the daemon's modem devices.
    mkfifo "$work/modem.ctl"
    "$emulator" --ctrl "$work$ctrl_gsm" --audio "$work$audio_gsm" --control "$work/modem.ctl" \
        --status "$work/modem.status" --ready-file "$work/modem.ready" 2>"$work/modem.log" &
    modem=$!
    wait_for 10 test -e "$work/modem.ready" || { echo "FAILED: the modem never started"; return; }
    # The links' directory as systemd makes it, with a link that a killed
    # daemon left behind; the machine's pseudo-terminals, with /dev/ptmx as
    # that devpts instance's own multiplexer, so that slaves appear where
    # clients outside the namespace find them.
    mkdir -p -m 0755 "$(dirname "$ctrl")" "$(dirname "$audio")"
    ln -s /dev/pts/999999 "$ctrl"
    mkdir "$work/dev/pts"
    ln -s pts/ptmx "$work/dev/ptmx"
    slave_linked() { [[ "$(readlink "$1")" =~ ^/dev/pts/[0-9]+$ ]] && [ -c "$(readlink "$1")" ]; }
    locked_by_daemon() {
        local pid
        pid=$(printf '%10d' "$daemon")
        [ "$(cat "$ctrl_lock_file" 2>/dev/null)" = "$pid" ] &&
            [ "$(cat "$audio_lock_file" 2>/dev/null)" = "$pid" ]
    }

    start_daemon
    check "running, logged at LOG_INFO" wait_for 15 has_logged '<14>' 1
    check "ctrl link to a live slave, the stale one replaced" wait_for 10 slave_linked "$ctrl"
    check "audio link to a live slave" wait_for 10 slave_linked "$audio"
    check "slaves in group dialout, mode 0660" \
        test "$(stat -L -c '%G %a' "$ctrl" "$audio" | tr '\n' ' ')" = "dialout 660 dialout 660 "
    check "master locks name the links and the daemon" locked_by_daemon
    local round closes
    for round in 1 2 3; do
        closes=$(count ' close, fd=')
        check "round $round: AT, OK through the ctrl link" exchange_ctrl "$ctrl"
        check "round $round: bytes to the modem through the audio link" exchange_audio "$audio"
        # Each hang-up closes a master with its modem port: four closes.
        check "round $round: hang-ups close the channels" \
            wait_for 10 has_logged ' close, fd=' $((closes + 4))
        check "round $round: modem locks released" wait_for 10 test ! -e \
            "$work/lock/LCK..${ctrl_gsm##*/}" -a ! -e "$work/lock/LCK..${audio_gsm##*/}"
    done
    check "both links back after the hang-ups" wait_for 10 slave_linked "$ctrl"

    check "nothing logged at LOG_ERR" test "$(count '<11>')" = 0
    stop_daemon
    check "links removed" test ! -e "$ctrl" -a ! -L "$ctrl" -a ! -e "$audio" -a ! -L "$audio"
}

run_legacy_mode() {
    check "unit allows the legacy masters" grep -qx "DeviceAllow=$ctrl_pty rw" "$unit"
    # The rest of /dev is hidden from it, so its masters are missing as on a
    # machine without legacy pseudo-terminals.
    mkdir "$work/dev/pts"
    start_daemon
    check "running, logged at LOG_INFO" wait_for 15 has_logged '<14>' 1
    # Retried every second, forever, and said once per master.
    check "cannot open either master, at LOG_ERR" wait_for 15 has_logged '<11>' 2
    check "the failure names the master and its errno" \
        has_logged "cannot open $ctrl_pty (2, No such file or directory)" 1
    stop_daemon
}

if [ -n "$ctrl_link" ] && [ -n "$audio_link" ]; then
    echo "== the installed daemon, links $ctrl_link and $audio_link"
    run_link_mode
elif [ -z "$ctrl_link" ] && [ -z "$audio_link" ]; then
    echo "== the installed daemon, legacy pseudo-terminals"
    run_legacy_mode
else
    echo "(one channel linked: not run)"
fi

# What enabling the unit leaves in the system: links to it, and the
# records deb-systemd-helper keeps of what it enabled or masked.
unit_state() {
    find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
        /var/lib/systemd/deb-systemd-helper-masked -name 'ptybridge.service*' 2>/dev/null
}

echo "== remove and purge"
dpkg -r ptybridge >/dev/null
check "removed: files gone" test ! -e /usr/sbin/ptybridge -a ! -e "$unit" -a ! -e "$dropin" \
    -a ! -e /usr/share/man/man8/ptybridge.8.gz -a ! -e /usr/share/doc/ptybridge
dpkg -P ptybridge >/dev/null
check "purged: unknown to dpkg" test -z "$(dpkg-query -W -f '${Status}' ptybridge 2>/dev/null)"
check "purged: no file of it left" test -z "$(ls /var/lib/dpkg/info/ptybridge.* 2>/dev/null)"
check "purged: no unit state left (links, deb-systemd-helper's records)" test -z "$(unit_state)"
check "purged: no init script, no rc.d links" \
    test ! -e /etc/init.d/ptybridge -a -z "$(find /etc/rc?.d -name '*ptybridge' 2>/dev/null)"

if [ "$failures" -ne 0 ]; then
    echo "installed package: $failures checks failed"
    exit 1
fi
echo "installed package: all checks passed"
