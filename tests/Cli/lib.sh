# shellcheck shell=bash
# Helpers for the command-line test scripts (set -euo pipefail; source lib.sh; cases; finish).
# CLI names the midi-updater-cli binary.
: "${CLI:?CLI must name the midi-updater-cli binary}"
export LC_ALL=C

TEST_NAME=$(basename "$0" .sh)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/$TEST_NAME.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
FAILURES=0
CHECKS=0

fail() {
    echo "FAIL [$TEST_NAME] $*" >&2
    FAILURES=$((FAILURES + 1))
}

finish() {
    [ "$FAILURES" -eq 0 ] || { echo "$TEST_NAME: $FAILURES of $CHECKS checks failed" >&2; exit 1; }
    echo "$TEST_NAME: all $CHECKS checks passed"
}

# run ARGS...: runs the CLI; standard output to $WORK/stdout, standard error to $WORK/stderr, exit
# status to STATUS.
run() {
    "$CLI" "$@" >"$WORK/stdout" 2>"$WORK/stderr" && STATUS=0 || STATUS=$?
}

# interrupt PATTERN ARGS...: runs the CLI in the background until its standard output holds PATTERN (5 s
# at most), then 0.3 s more, and sends it Ctrl-C; exit status to STATUS.
interrupt() {
    local pattern=$1
    shift
    "$CLI" "$@" </dev/null >"$WORK/stdout" 2>"$WORK/stderr" &
    local pid=$!
    for _ in $(seq 100); do
        grep -q "$pattern" "$WORK/stdout" && break
        sleep 0.05
    done
    sleep 0.3
    kill -INT "$pid"
    wait "$pid" && STATUS=0 || STATUS=$?
}

# expect_eq CASE EXPECTED ACTUAL
expect_eq() {
    CHECKS=$((CHECKS + 1))
    [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"
}

# check CASE COMMAND...: the command succeeds (cmp A B, grep -qF TEXT FILE, test ...).
check() {
    local case=$1
    shift
    CHECKS=$((CHECKS + 1))
    "$@" >/dev/null 2>&1 || fail "$case: [$*] failed; stderr: $(head -c 300 "$WORK/stderr")"
}
