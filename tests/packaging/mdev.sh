#!/usr/bin/env bash
# mdev.sh HELPER MDEV_CONF
#
# The mdev helper HELPER against a sysfs tree of the test's: a modem
# (1e0e:9001) with channels on interfaces 00, 02 and 04, and another
# device's channel on interface 00. Run as mdev runs it, by BusyBox's sh
# where there is one, it must name the modem's 00 and 02 and nothing else,
# take a name away with its device, and stay quiet, with exit status 0,
# whatever else it is handed. As root, with BusyBox: mdev itself, with the
# line of MDEV_CONF, in a mount namespace whose /sys, /dev and /etc are the
# test's.
set -uo pipefail
helper=$1 example=$2
. "$(dirname "$0")/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/ptybridge mdev.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A tty's path under sysfs, as DEVPATH gives it: tty_of BUS NUMBER NAME.
usb=/devices/pci0000:00/0000:00:14.0/usb1
tty_of() { echo "$usb/$1/$1:1.$(($2))/tty/$3"; }
# add_tty SYS BUS VENDOR:PRODUCT NUMBER NAME MINOR: the USB device at BUS,
# with its IDs, and the tty NAME (device 166:MINOR) of its interface NUMBER.
add_tty() {
    local sys=$1 device=$1$usb/$2 tty
    tty=$sys$(tty_of "$2" "$4" "$5")
    mkdir -p "$tty" "$sys/class/tty" "$sys/dev/char"
    echo "${3%:*}" >"$device/idVendor"
    echo "${3#*:}" >"$device/idProduct"
    echo "$4" >"${tty%/tty/*}/bInterfaceNumber"
    printf 'MAJOR=166\nMINOR=%s\nDEVNAME=%s\n' "$6" "$5" >"$tty/uevent"
    echo "166:$6" >"$tty/dev"
    ln -s "$(realpath -s --relative-to="$tty" "$sys/class/tty")" "$tty/subsystem"
    ln -s "../../devices${tty#"$sys"/devices}" "$sys/class/tty/$5"
    ln -s "../../devices${tty#"$sys"/devices}" "$sys/dev/char/166:$6"
}
make_sysfs() {
    add_tty "$1" 1-1 1e0e:9001 00 ttyACM0 0
    add_tty "$1" 1-1 1e0e:9001 02 ttyACM1 1
    add_tty "$1" 1-1 1e0e:9001 04 ttyACM2 2
    add_tty "$1" 1-2 1234:5678 00 ttyACM3 3
}
make_sysfs "$work/sys"
mkdir "$work/dev"

out='' status=''
helper() { # helper NAME=VALUE...: as mdev runs it for the modem, in that environment
    out=$(env -i PATH="$PATH" PTYBRIDGE_SYSFS="$work/sys" PTYBRIDGE_DEV="$work/dev" "$@" \
        "${run[@]}" "$helper" 1e0e 9001 2>&1)
    status=$?
}
names() { # where gsm-ctrl and gsm-audio lead, "-" for none
    printf '%s %s' "$(readlink "$work/dev/gsm-ctrl" || echo -)" "$(readlink "$work/dev/gsm-audio" || echo -)"
}
expect() { # expect DESCRIPTION CTRL AUDIO: exit status 0, no output, and these names
    check "$1" test "$status:$out:$(names)" = "0::$2 $3"
}
add() { helper ACTION=add MDEV="$1" DEVPATH="$(tty_of "$2" "$3" "$1")"; }
remove() { helper ACTION=remove MDEV="$1" DEVPATH="$(tty_of "$2" "$3" "$1")"; }

busybox=$(command -v busybox) && run=("$busybox" sh) || run=(sh)
add ttyACM0 1-1 00
expect "the modem's interface 00 is gsm-ctrl" ttyACM0 -
add ttyACM1 1-1 02
expect "the modem's interface 02 is gsm-audio" ttyACM0 ttyACM1
add ttyACM2 1-1 04
expect "the modem's interface 04 is not named" ttyACM0 ttyACM1
add ttyACM3 1-2 00
expect "another device's interface 00 is not named" ttyACM0 ttyACM1
remove ttyACM0 1-1 00
expect "gsm-ctrl removed with its device" - ttyACM1
# mdev -s: no ACTION, no DEVPATH.
helper MDEV=ttyACM0
expect "found through /sys/class/tty without DEVPATH" ttyACM0 ttyACM1

rm -f "$work/dev/gsm-ctrl" "$work/dev/gsm-audio"
helper ACTION=add MDEV=ttyACM9
expect "no DEVPATH and no such device" - -
helper ACTION=add MDEV=ttyACM0 DEVPATH="$(tty_of 1-1 00 ttyACM0)" PTYBRIDGE_SYSFS="$work/none"
expect "no sysfs" - -
helper ACTION=add
expect "no MDEV" - -

if [ "$(id -u)" != 0 ] || [ -z "$busybox" ] || ! unshare --mount true 2>/dev/null; then
    echo "mdev itself: skipped, needs root, busybox and mount namespaces"
else
    # The example's line with the modem's IDs put in, as the README does,
    # and the helper where mdev can run it (no space in its path).
    bin=$(mktemp -d /tmp/ptybridge-mdev.XXXXXX)
    trap 'rm -rf "$work" "$bin"' EXIT
    cp "$helper" "$bin/ptybridge-mdev"
    mkdir "$work/etc"
    cp /etc/passwd /etc/group "$work/etc/"
    grep -v '^#' "$example" | sed -e "s/ vvvv pppp / 1e0e 9001 /" \
        -e "s| \*/[^ ]*/ptybridge-mdev | *$bin/ptybridge-mdev |" >"$work/etc/mdev.conf"
    cat "$work/etc/mdev.conf"
    seen=$(unshare --mount --propagation private sh -c '
        busybox=$1 work=$2 devpath=$3
        mount --bind "$work/sys" /sys && mount -t tmpfs tmpfs /dev &&
            mount --bind "$work/etc" /etc || exit 1
        state() {
            echo "$1: $(stat -c "%n %U:%G %a" /dev/ttyACM* | tr "\n" " ")$(readlink /dev/gsm-ctrl || echo -)" \
                "$(readlink /dev/gsm-audio || echo -)"
        }
        hotplug() { ACTION=$1 DEVPATH=$devpath SUBSYSTEM=tty MAJOR=166 MINOR=0 DEVNAME=ttyACM0 "$busybox" mdev; }
        "$busybox" mdev -s && state scan
        hotplug remove && state unplugged
        hotplug add && state plugged' sh "$busybox" "$work" "$(tty_of 1-1 00 ttyACM0)" 2>&1)
    echo "$seen"
    nodes='/dev/ttyACM1 root:dialout 660 /dev/ttyACM2 root:dialout 660 /dev/ttyACM3 root:dialout 660'
    check "mdev -s: every ttyACM root:dialout 660, the modem's 00 and 02 named" \
        grep -qxF "scan: /dev/ttyACM0 root:dialout 660 $nodes ttyACM0 ttyACM1" <<<"$seen"
    check "unplugged: gsm-ctrl gone with its device, gsm-audio stays" \
        grep -qxF "unplugged: $nodes - ttyACM1" <<<"$seen"
    check "plugged in again: named again" \
        grep -qxF "plugged: /dev/ttyACM0 root:dialout 660 $nodes ttyACM0 ttyACM1" <<<"$seen"
fi
[ "$failures" = 0 ]
