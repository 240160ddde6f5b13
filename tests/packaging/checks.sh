# Sourced by the package scripts: named checks that count failures,
# bounded polling, and the skip that CTest counts as skipped (77).

failures=0
skip() {
    echo "skipped: $*"
    exit 77
}
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

# Polls a command every 0.1 s until it succeeds, for at most $1 seconds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
