#!/usr/bin/env bash
# mdev.sh HELPER
#
# The mdev helper HELPER against a sysfs tree of the test's: a modem
# (1e0e:9001) with channels on interfaces 00, 02 and 04, and another
# device's channel on interface 00. Run as mdev runs it, by BusyBox's sh
# where there is one, it must name the modem's 00 and 02 and nothing else,
# take a name away with its device, and stay quiet, with exit status 0,
# whatever else it is handed. mdev itself runs it on the BusyBox board.
set -uo pipefail
helper=$1
. "$(dirname "$0")/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/ptybridge mdev.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A tty's path under sysfs, as DEVPATH gives it: tty_of BUS NUMBER NAME.
usb=/devices/pci0000:00/0000:00:14.0/usb1
tty_of() { echo "$usb/$1/$1:1.$(($2))/tty/$3"; }
# add_tty BUS VENDOR:PRODUCT NUMBER NAME: the USB device at BUS, with its
# IDs, and the tty NAME of its interface NUMBER.
add_tty() {
    local sys=$work/sys device=$work/sys$usb/$1 tty
    tty=$sys$(tty_of "$1" "$3" "$4")
    mkdir -p "$tty" "$sys/class/tty"
    echo "${2%:*}" >"$device/idVendor"
    echo "${2#*:}" >"$device/idProduct"
    echo "$3" >"${tty%/tty/*}/bInterfaceNumber"
    ln -s "../../devices${tty#"$sys"/devices}" "$sys/class/tty/$4"
}
add_tty 1-1 1e0e:9001 00 ttyACM0
add_tty 1-1 1e0e:9001 02 ttyACM1
add_tty 1-1 1e0e:9001 04 ttyACM2
add_tty 1-2 1234:5678 00 ttyACM3
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

[ "$failures" = 0 ]
