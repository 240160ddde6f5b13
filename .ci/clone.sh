#!/usr/bin/env bash
# Runs the test suite once more from a fresh clone where a new user might
# put it: in a home-like directory of mode 0700 that the user owns, in a
# path with a space, about 150 characters long, built and run by a user
# without root. Run as root, that user is CLONE_USER (default ptybridge-ci,
# an ordinary user with a shell and a home, made when missing;
# CLONE_USER=root keeps root), and every command runs in a login session of
# it (runuser -l), with the environment a login gets; otherwise it is the
# caller. Limits are the caller's: pam_limits sets none on Debian.
#
# CLONE_TESTS=all builds everything and runs the whole suite, as the README
# says. By default only what the clone's place and user can change is built
# and run: they reach the tests only through the programs the tests start
# from the build tree (the sandbox daemon in both modes, its capture
# library, the emulator, the demo script and launcher, the installed
# files' checks, the package installer, which takes sudo for another user)
# and the paths they hand them, and through which user runs them, so one
# suite for each such program shows it.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$(pwd)

user=$(id -un)
if [ "$(id -u)" = 0 ]; then
    user=${CLONE_USER:-ptybridge-ci}
    if ! id "$user" >/dev/null 2>&1; then
        useradd --user-group --create-home --shell /bin/bash "$user"
    fi
    # A login needs a shell and a home (the user may be older than that).
    case $(getent passwd "$user" | cut -d: -f7) in
    */nologin | */false | "") usermod --shell /bin/bash "$user" ;;
    esac
    home=$(getent passwd "$user" | cut -d: -f6)
    if [ ! -d "$home" ]; then
        install -d -m 0700 -o "$user" -g "$(id -g "$user")" "$home"
    fi
fi

top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT
chmod 0700 "$top"
deep="$top/a checkout with spaces"
while [ ${#deep} -lt 140 ]; do deep="$deep/deeper"; done
deep="$deep/ptybridge"
echo "clone in $deep (${#deep} characters), as $user"

git clone --quiet "$source" "$deep"
run() { "$@"; }
if [ "$user" != "$(id -un)" ]; then
    chown -R "$user:" "$top"
    run() { runuser -l "$user" -c "$(printf '%q ' "$@")"; }
fi
run cmake -S "$deep" -B "$deep/build" -DPTYBRIDGE_WERROR=ON >/dev/null
if [ "${CLONE_TESTS:-}" = all ]; then
    run cmake --build "$deep/build" -j2 >/dev/null
    run ctest --test-dir "$deep/build" -j4 --output-on-failure
else
    run cmake --build "$deep/build" -j2 --target ptybridge test_daemon test_links \
        emulator_e2e_tests demo_tests init-standin >/dev/null
    run ctest --test-dir "$deep/build" -j4 --output-on-failure \
        -R '^(Idle|Options|Stop|link\.Links|emulator|demo|packaging|install_packages)\.'
fi
run bash "$deep/.ci/leftovers.sh" "$deep/build"
