#!/bin/sh
# udev_rules.sh UDEVADM RULES: has this machine's udev read RULES as an
# installed rules file and fails on anything it reports about it (unknown
# keys, bad operators, a GOTO without its LABEL). The run happens in a
# private mount namespace, with /run (udev's database), /dev and the
# administrator's rules directory on empty file systems, so the simulated event changes nothing outside. Exit status 77
# (skipped) without root or namespaces.
set -u
udevadm=$1
rules=$2
name=$(basename "$rules" .example)
. "$(dirname "$0")/checks.sh"
[ "$(id -u)" = 0 ] || skip "needs root for a private mount namespace"
unshare --mount true 2>/dev/null || skip "no mount namespaces here"
# Any device will do: the rules are read whole before the event runs.
device=/sys/devices/virtual/mem/null
out=$(unshare --mount --propagation private sh -c '
    set -e
    mount -t tmpfs tmpfs /run
    mount -t tmpfs tmpfs /dev
    if [ -d /etc/udev/rules.d ]; then mount -t tmpfs tmpfs /etc/udev/rules.d; fi
    mkdir -p /run/udev/rules.d
    cp "$1" "/run/udev/rules.d/$2"
    exec "$3" test --action=add "$4"' sh "$rules" "$name" "$udevadm" "$device" 2>&1)
status=$?
if [ "$status" != 0 ]; then
    printf '%s\n' "$out"
    echo "FAILED: udevadm test exited with status $status"
    exit 1
fi
if ! printf '%s\n' "$out" | grep -qx "Reading rules file: /run/udev/rules.d/$name"; then
    printf '%s\n' "$out"
    echo "FAILED: udev did not read $name"
    exit 1
fi
complaints=$(printf '%s\n' "$out" | grep -F "$name" | grep -vx "Reading rules file: /run/udev/rules.d/$name")
if [ -n "$complaints" ]; then
    printf '%s\n' "$complaints"
    echo "FAILED: udev reports the lines above"
    exit 1
fi
echo "ok: udev reads $name without a complaint"
