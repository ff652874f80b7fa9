# shellcheck shell=bash
# The checks of the end-to-end scripts: each prints a line, ok or FAIL, and the failures are
# counted for checks_done. Source it from bash.

failures=0

pass() { echo "ok    $*"; }
fail() {
    echo "FAIL  $*"
    failures=$((failures + 1))
}

# check WHAT COMMAND...: passes when COMMAND succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# checks_done WORK_DIR: ends the script, with 1 when a check failed.
checks_done() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed; the runs' files are in $1"
        exit 1
    fi
    echo "all checks passed"
}
