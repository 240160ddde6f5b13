#!/usr/bin/env bash
# init_script.sh SHELL INIT STANDIN CTRL_LINK AUDIO_LINK CTRL_LOCK AUDIO_LOCK
#
# Runs the init script INIT, built for link mode, with SHELL: dash (with
# Debian's start-stop-daemon) or busybox (its sh, and its applets first in
# PATH, as on a BusyBox board). Everything happens under a temporary root
# with a space in its path: INIT's paths are moved below it, and STANDIN
# is the daemon there, publishing CTRL_LINK and AUDIO_LINK and taking
# CTRL_LOCK and AUDIO_LOCK as the daemon does. Skips (77) without SHELL.
set -uo pipefail
shell=$1 init=$2 standin=$3 ctrl_link=$4 audio_link=$5 ctrl_lock=$6 audio_lock=$7
. "$(dirname "$0")/checks.sh"
skip() {
    echo "skipped: $*"
    exit 77
}

root=$(mktemp -d "${TMPDIR:-/tmp}/ptybridge init.XXXXXX")
daemon=$root/usr/sbin/ptybridge
# Every process of the stand-in, by its executable.
standins() {
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

run=()
case $shell in
dash)
    command -v dash >/dev/null || skip "dash is not installed"
    PATH=$PATH:/sbin:/usr/sbin command -v start-stop-daemon >/dev/null ||
        skip "start-stop-daemon is not installed"
    run=(dash)
    ;;
busybox)
    busybox=$(command -v busybox) || skip "busybox is not installed"
    mkdir "$root/bin"
    for applet in $("$busybox" --list); do ln -s "$busybox" "$root/bin/$applet"; done
    PATH=$root/bin:$PATH
    run=("$root/bin/sh")
    ;;
*) echo "unknown shell $shell"; exit 2 ;;
esac

# The script's paths under the root, without Debian's init functions (as on
# a board). Running as another user than root, it cannot change its user or
# group.
escaped=$(printf '%s' "$root" | sed 's/[\\&|]/\\&/g')
chuid=$(sed -n 's/^CHUID="\(.*\)"$/\1/p' "$init")
if [ "$(id -u)" != 0 ] || ! getent group "${chuid#*:}" >/dev/null; then chuid=; fi
script=$root/etc/init.d/ptybridge
mkdir -p "$(dirname "$script")" "$(dirname "$daemon")" "$root$(dirname "$ctrl_lock")"
sed -E -e "s|^([A-Z_]+)=\"/|\\1=\"$escaped/|" -e "s|^CHUID=.*|CHUID=\"$chuid\"|" \
    -e '\|^\[ -r /lib/lsb/init-functions \] && \. /lib/lsb/init-functions$|d' "$init" >"$script"
if grep -E '^[A-Z_]+="/|/lib/lsb' "$script" | grep -vF "=\"$root/"; then
    echo "FAILED: the paths above were not moved under the test's root"
    exit 1
fi
pidfile=$(sed -n 's/^PIDFILE="\(.*\)"$/\1/p' "$script")
run_dir=$(dirname "$root$ctrl_link")
mkdir -p "$(dirname "$pidfile")"
cp "$standin" "$daemon"

out='' status=''
init() { # init ACTION: its output in $out, its exit status in $status
    out=$("${run[@]}" "$script" "$1" 2>"$root/stderr")
    status=$?
    printf '%s %s: %s (%s)\n' "$shell" "$1" "$out" "$status"
    check "$1: nothing on standard error" test ! -s "$root/stderr"
    cat "$root/stderr"
}
alive() { [ -e "/proc/$1" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null; }
entries() { # what the daemon leaves while it runs, as far as it is there
    local entry
    for entry in "$root$ctrl_link" "$root$audio_link" "$root$ctrl_lock" "$root$audio_lock"; do
        if [ -e "$entry" ] || [ -L "$entry" ]; then echo "$entry"; fi
    done
}
all_there() { [ "$(entries | wc -l)" = 4 ]; }
dead() { ! alive "$1"; }

init status
check "status before a start: 3, not running" test "$status" = 3

init start
pid=$(cat "$pidfile" 2>/dev/null)
check "start: 0, the daemon running under its process ID file" \
    test "$status" = 0 -a -n "$pid" -a "$(standins)" = "$pid"
check "start: its links and lock files appear" wait_for 10 all_there
check "start: the links' directory made, mode 0755" test "$(stat -c %a "$run_dir" 2>/dev/null)" = 755
if [ -n "$chuid" ]; then
    check "start: the daemon runs in group ${chuid#*:}" \
        test "$(awk '/^Gid:/ {print $2}' "/proc/$pid/status")" = "$(getent group "${chuid#*:}" | cut -d: -f3)"
fi
init status
check "status: 0, running, with its process ID" test "$status" = 0 -a -n "$(grep -F "$pid" <<<"$out")"
init start
check "start again: 0, still the one daemon" test "$status" = 0 -a "$(standins)" = "$pid"

# The stand-in takes a second after SIGTERM before it removes its files.
init stop
check "stop: 0" test "$status" = 0
check "stop: the daemon gone once it returns" dead "$pid"
check "stop: its links and lock files gone once it returns" test -z "$(entries)"
check "stop: no process ID file, no links' directory left" test ! -e "$pidfile" -a ! -e "$run_dir"
init stop
check "stop again: 0, not running" test "$status" = 0

init restart
first=$(cat "$pidfile" 2>/dev/null)
check "restart when stopped: 0, running" test "$status" = 0 -a -n "$first" -a "$(standins)" = "$first"
init restart
pid=$(cat "$pidfile" 2>/dev/null)
check "restart: 0, another daemon in place of the first" \
    test "$status" = 0 -a -n "$pid" -a "$pid" != "$first" -a "$(standins)" = "$pid"
check "restart: its links and lock files back" wait_for 10 all_there

# A daemon that died leaves its process ID file: status 1, and a start
# runs a new one.
kill -KILL "$pid"
wait_for 10 dead "$pid"
init status
check "status after the daemon died: 1" test "$status" = 1
init start
check "start after the daemon died: 0, running" test "$status" = 0 -a "$(standins | wc -l)" = 1
init stop
init status
check "status after a stop: 3" test "$status" = 3 -a -z "$(standins)"

if [ "$failures" -ne 0 ]; then
    echo "init script under $shell: $failures checks failed"
    exit 1
fi
echo "init script under $shell: all checks passed"
