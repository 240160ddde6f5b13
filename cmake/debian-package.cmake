# The settings the Debian packages are built with (cmake -C, from
# debian/rules and from .ci/package.sh's build of the package's test): link
# mode, the pseudo-terminals published under /run/ptybridge, the modem at
# the names the example udev rule gives its channels.
set(PTYBRIDGE_CTRL_LINK /run/ptybridge/gsm-ctrl CACHE STRING "")
set(PTYBRIDGE_AUDIO_LINK /run/ptybridge/gsm-audio CACHE STRING "")
set(PTYBRIDGE_CTRL_GSM /dev/gsm-ctrl CACHE STRING "")
set(PTYBRIDGE_AUDIO_GSM /dev/gsm-audio CACHE STRING "")
# Where Debian's tools of this release look for units.
set(PTYBRIDGE_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE STRING "")
