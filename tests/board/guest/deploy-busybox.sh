#!/bin/sh
# Deploys ptybridge on a BusyBox board (BusyBox init, mdev) with its USB
# modem plugged in, as root:
#   deploy-busybox.sh PACKAGE VENDOR PRODUCT
# The commands below the line are the README's steps for BusyBox boards,
# word for word and in the same order (ctest
# packaging.readme_busybox_steps compares them); the board test runs them
# through this file.
set -eu
deb=$1 vendor=$2 product=$3
# ---- the README's steps ----
ar p "$deb" data.tar.xz | unxz -c | tar -x -f - -C / \
    ./usr/sbin/ptybridge ./etc/init.d/ptybridge ./usr/libexec/ptybridge ./usr/share/doc/ptybridge
grep -q '^dialout:' /etc/group || addgroup -S dialout
sed -e "s/ vvvv pppp / $vendor $product /" /usr/share/doc/ptybridge/mdev.conf.example >>/etc/mdev.conf
mdev -s
if pidof mdev >/dev/null; then killall mdev && mdev -d; fi
ls -l /dev/gsm-ctrl /dev/gsm-audio
cat /usr/share/doc/ptybridge/inittab.example >>/etc/inittab
kill -HUP 1
timeout 10 sh -c 'until [ -L /run/ptybridge/gsm-ctrl ]; do sleep 1; done'
ls -l /run/ptybridge/
