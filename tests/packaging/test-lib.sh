# Shared by the package test's scripts (sourced): counting checks, and a private /run.
# shellcheck shell=bash

failures=0
checks=0
pass() { checks=$((checks + 1)); echo "ok   $*"; }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL $*"; }
skip() { echo "skip $*"; }
# outcome STATUS PASS-TEXT FAIL-TEXT: passes when STATUS is 0.
outcome() {
    if [ "$1" -eq 0 ]; then pass "$2"; else fail "$3"; fi
}
# check DESCRIPTION COMMAND...: runs the command, its output shown only on failure.
check() {
    local what=$1 output
    shift
    if output=$("$@" 2>&1); then
        pass "$what"
    else
        fail "$what"
        printf '%s\n' "$output" | sed 's/^/     | /'
    fi
}
# finish NAME: the closing line, and the exit status.
finish() {
    echo "$1: $((checks - failures)) passed, $failures failed"
    [ "$failures" -eq 0 ] && exit 0
    exit 1
}

# private_run_available: whether in_private_run can work here (root, and mount
# namespaces not forbidden by a container).
private_run_available() {
    [ "$(id -u)" -eq 0 ] && unshare --mount --propagation private true 2>/dev/null
}
# in_private_run COMMAND: runs a shell command in a private mount namespace whose /run is
# an empty tmpfs, so that /run/udev exists or not as the command decides, and nothing it
# does there reaches the machine.
in_private_run() {
    unshare --mount --propagation private sh -c "mount -t tmpfs kvtool-test /run && $1"
}
