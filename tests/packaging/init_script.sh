#!/usr/bin/env bash
# init_script.sh MODE INIT STANDIN CTRL_LINK AUDIO_LINK CTRL_LOCK AUDIO_LOCK
#
# The init script INIT, built for link mode, with its paths moved under a
# temporary root where STANDIN is the daemon, publishing CTRL_LINK and
# AUDIO_LINK and taking CTRL_LOCK and AUDIO_LOCK as the daemon does. MODE
# dash: under dash and Debian's start-stop-daemon; busybox: under BusyBox's
# sh with its applets first in PATH, as on a BusyBox board (whose own test,
# the BusyBox board in tests/board, runs the respawn line under BusyBox
# init). Skips (77) without what MODE needs.
set -uo pipefail
mode=$1 init=$2 standin=$3 ctrl_link=$4 audio_link=$5 ctrl_lock=$6 audio_lock=$7
. "$(dirname "$0")/checks.sh"
[ "$mode" = dash ] || busybox=$(command -v busybox) || skip "busybox is not installed"
# Under user-mode emulation the process runs as qemu: neither
# start-stop-daemon nor this test can tell it by its executable.
machine() { od -An -j18 -N2 -tx2 "$1"; }
[ "$(machine "$standin")" = "$(machine "$(readlink -f /bin/sh)")" ] ||
    skip "the stand-in is built for another machine (user-mode emulation)"
[ "$mode" != dash ] || command -v dash >/dev/null || skip "dash is not installed"

root=$(mktemp -d "${TMPDIR:-/tmp}/ptybridge init.XXXXXX")
daemon=$root/usr/sbin/ptybridge
standins() { # the stand-in's processes, by their executable
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" != "$daemon" ] || echo "${p#/proc/}"
    done
}
cleanup() {
    local p
    for p in $(standins); do kill -KILL "$p" 2>/dev/null; done
    rm -rf "$root"
}
trap cleanup EXIT
mkdir -p "$(dirname "$daemon")" "$root$(dirname "$ctrl_lock")"
cp "$standin" "$daemon" || { echo "FAILED: no stand-in daemon at $standin (build init-standin)"; exit 1; }

entries() { # what the daemon leaves while it runs, as far as it is there
    local entry
    for entry in "$root$ctrl_link" "$root$audio_link" "$root$ctrl_lock" "$root$audio_lock"; do
        if [ -e "$entry" ] || [ -L "$entry" ]; then echo "$entry"; fi
    done
}
all_there() { [ "$(entries | wc -l)" = 4 ]; }
none_up() { [ -z "$(standins)" ]; }
gid_is() { # gid_is PID GROUP
    [ "$(awk '/^Gid:/ {print $2}' "/proc/$1/status" 2>/dev/null)" = "$(getent group "$2" | cut -d: -f3)" ]
}
group=$(sed -n 's/^CHUID="[^:]*:\(.*\)"$/\1/p' "$init")

run=(dash)
if [ "$mode" = busybox ]; then
    mkdir "$root/bin"
    for applet in $("$busybox" --list); do ln -s "$busybox" "$root/bin/$applet"; done
    PATH=$root/bin:$PATH
    run=("$root/bin/sh")
fi
# The script's paths under the root, without Debian's init functions, as on
# a board. Only root may change its user and group.
escaped=$(printf '%s' "$root" | sed 's/[\\&|]/\\&/g')
if [ "$(id -u)" != 0 ] || ! getent group "$group" >/dev/null; then group=; fi
script=$root/etc/init.d/ptybridge
mkdir -p "$(dirname "$script")"
sed -E -e "s|^([A-Z_]+)=\"/|\\1=\"$escaped/|" -e "s|^CHUID=.*|CHUID=\"${group:+root:$group}\"|" \
    -e '\|^\[ -r /lib/lsb/init-functions \] && \. /lib/lsb/init-functions$|d' "$init" >"$script"
if grep -E '^[A-Z_]+="/|/lib/lsb' "$script" | grep -vF "=\"$root/"; then
    echo "FAILED: the paths above were not moved under the test's root"
    exit 1
fi
pidfile=$(sed -n 's/^PIDFILE="\(.*\)"$/\1/p' "$script")
mkdir -p "$(dirname "$pidfile")"
run_dir=$(dirname "$root$ctrl_link")

out='' status=''
init() { # init ACTION: its output in $out, its exit status in $status
    out=$("${run[@]}" "$script" "$1" 2>"$root/stderr")
    status=$?
    printf '%s %s: %s (%s)\n' "$mode" "$1" "$out" "$status"
    check "$1: nothing on standard error" test ! -s "$root/stderr"
    cat "$root/stderr"
}

init status
check "status before a start: 3" test "$status" = 3
init start
pid=$(cat "$pidfile" 2>/dev/null)
check "start: 0, the daemon running under its process ID file" \
    test "$status" = 0 -a -n "$pid" -a "$(standins)" = "$pid"
check "start: its links and lock files appear" wait_for 10 all_there
check "start: the links' directory made, mode 0755" test "$(stat -c %a "$run_dir" 2>/dev/null)" = 755
[ -z "$group" ] || check "start: the daemon runs in group $group" gid_is "$pid" "$group"
init status
check "status: 0, with its process ID" test "$status" = 0 -a -n "$(grep -F "$pid" <<<"$out")"
init start
check "start again: 0, still the one daemon" test "$status" = 0 -a "$(standins)" = "$pid"

# The stand-in takes a second after SIGTERM to remove its files.
init stop
check "stop: 0, the daemon, its links and lock files gone once it returns" \
    test "$status" = 0 -a -z "$(standins)$(entries)"
check "stop: no process ID file, no links' directory left" test ! -e "$pidfile" -a ! -e "$run_dir"
init stop
check "stop again: 0" test "$status" = 0

init restart
first=$(cat "$pidfile" 2>/dev/null)
check "restart when stopped: 0, running" test "$status" = 0 -a -n "$first" -a "$(standins)" = "$first"
init restart
pid=$(cat "$pidfile" 2>/dev/null)
check "restart: 0, another daemon in place of the first" \
    test "$status" = 0 -a -n "$pid" -a "$pid" != "$first" -a "$(standins)" = "$pid"
check "restart: its links and lock files back" wait_for 10 all_there

# A daemon that died leaves its process ID file behind.
kill -KILL "$pid"
wait_for 10 none_up
init status
check "status after the daemon died: 1" test "$status" = 1
init start
check "start after the daemon died: 0, running" test "$status" = 0 -a "$(standins | wc -l)" = 1
init stop
init status
check "status after a stop: 3" test "$status" = 3 -a -z "$(standins)"
[ "$failures" = 0 ]
