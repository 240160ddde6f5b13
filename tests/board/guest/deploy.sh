#!/bin/sh
# Deploys ptybridge on a board with its USB modem plugged in, as root:
#   deploy.sh PACKAGE VENDOR PRODUCT USER
# The commands below the line are the README's "Deploy on a board" steps,
# word for word and in the same order (ctest packaging.readme_deploy_steps
# compares them); the board test runs them through this file.
set -eu
deb=$1 vendor=$2 product=$3 user=$4
# ---- the README's steps ----
lsusb -d "$vendor:$product"
apt install "$deb"
sed -e "s/\"vvvv\"/\"$vendor\"/" -e "s/\"pppp\"/\"$product\"/" \
    /usr/share/doc/ptybridge/60-ptybridge-modem.rules.example \
    >/etc/udev/rules.d/60-ptybridge-modem.rules
udevadm control --reload
udevadm trigger --subsystem-match=tty
udevadm settle
ls -l /dev/gsm-ctrl /dev/gsm-audio
usermod -aG dialout "$user"
systemctl is-active ptybridge.service
ls -l /run/ptybridge/
