#!/usr/bin/env bash
# inittab_respawn.sh INITTAB STANDIN CTRL_LINK AUDIO_LINK CTRL_LOCK AUDIO_LOCK
#
# BusyBox init with the respawn line of INITTAB (built for link mode) as
# its /etc/inittab, as PID 1 of a PID and mount namespace of its own, with
# BusyBox's sh and start-stop-daemon in place of the machine's: STANDIN,
# as the daemon under a temporary root, must come up with its links and
# lock files, in its group, and come up again after kill -9. Needs root for
# the namespaces, and skips (77) without.
set -uo pipefail
inittab=$1 standin=$2 ctrl_link=$3 audio_link=$4 ctrl_lock=$5 audio_lock=$6
. "$(dirname "$0")/checks.sh"
skip() {
    echo "skipped: $*"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root for PID and mount namespaces"
busybox=$(command -v busybox) || skip "busybox is not installed"
unshare --pid --fork --mount true 2>/dev/null || skip "no PID or mount namespaces here"
line=$(grep '^::respawn:' "$inittab") || { echo "FAILED: no respawn line in $inittab"; exit 1; }
# The group it runs in: start-stop-daemon's -c USER:GROUP.
group=$(sed -n 's/.* -c [^: ]*:\([^ ]*\) .*/\1/p' <<<"$line")
[ -n "$group" ] || { echo "FAILED: no group in $line"; exit 1; }
getent group "$group" >/dev/null || skip "no group $group"

# The line names plain paths, without quotes: a root without a space.
work=$(mktemp -d /tmp/ptybridge-respawn.XXXXXX)
root=$work/root
daemon=$root/usr/sbin/ptybridge
init=
standins() {
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" != "$daemon" ] || echo "${p#/proc/}"
    done
}
cleanup() {
    local p
    [ -z "$init" ] || kill -KILL "$init" 2>/dev/null
    for p in $(standins); do kill -KILL "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/etc" "$(dirname "$daemon")" "$root$(dirname "$ctrl_lock")"
cp "$standin" "$daemon"
cp /etc/passwd /etc/group "$work/etc/"
[ ! -e /etc/ld.so.cache ] || cp /etc/ld.so.cache "$work/etc/"
printf '%s\n' "$line" | sed -e "s| /run/| $root/run/|g" -e "s| /usr/sbin/ptybridge| $daemon|" \
    >"$work/etc/inittab"
cat "$work/etc/inittab"

# BusyBox in place of the shell and of start-stop-daemon: the
# namespace's /etc holds what they read.
unshare --pid --fork --kill-child --mount --propagation private sh -c '
    busybox=$1 work=$2
    for file in "$(readlink -f /bin/sh)" "$(readlink -f /sbin/start-stop-daemon)"; do
        [ ! -e "$file" ] || mount --bind "$busybox" "$file" || exit 1
    done
    mount --bind "$work/etc" /etc || exit 1
    exec env CONSOLE=/dev/null "$busybox" init' sh "$busybox" "$work" \
    >"$work/init.log" 2>&1 &
init=$!

entries() {
    local entry
    for entry in "$root$ctrl_link" "$root$audio_link" "$root$ctrl_lock" "$root$audio_lock"; do
        if [ -e "$entry" ] || [ -L "$entry" ]; then echo "$entry"; fi
    done
}
one_up() { [ "$(standins | wc -l)" = 1 ] && [ "$(entries | wc -l)" = 4 ]; }
another_up() { one_up && [ "$(standins)" != "$1" ]; }
none_up() { [ -z "$(standins)" ]; }

check "started, with its links and lock files" wait_for 15 one_up
first=$(standins)
check "runs in group $group" test -n "$first" -a \
    "$(awk '/^Gid:/ {print $2}' "/proc/$first/status" 2>/dev/null)" = "$(getent group "$group" | cut -d: -f3)"
kill -KILL "$first" 2>/dev/null
check "started again after kill -9" wait_for 15 another_up "$first"

{
    kill -KILL "$init"
    wait "$init"
} 2>/dev/null
init=
check "nothing left running once init is gone" wait_for 10 none_up
if [ "$failures" -ne 0 ]; then
    echo "-- init's output:"
    cat "$work/init.log"
    echo "respawn under BusyBox init: $failures checks failed"
    exit 1
fi
echo "respawn under BusyBox init: all checks passed"
