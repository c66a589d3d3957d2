# shellcheck shell=bash
# Set-up and helpers for the command-line test scripts (source lib.sh, then the checks): strict mode, a
# work folder as the current one, removed at the end, where the script fails if any check failed.
# CLI names the midi-updater-cli binary.
: "${CLI:?CLI must name the midi-updater-cli binary}"
set -euo pipefail
export LC_ALL=C

TEST_NAME=$(basename "$0" .sh)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/$TEST_NAME.XXXXXX")
FAILURES=0
finish() {
    rm -rf "$WORK"
    [ "$FAILURES" -eq 0 ] || { echo "$TEST_NAME: $FAILURES checks failed" >&2; exit 1; }
}
trap finish EXIT
cd "$WORK"

# run ARGS...: runs the CLI; standard output to $WORK/stdout, standard error to $WORK/stderr, exit
# status to STATUS.
run() {
    "$CLI" "$@" >"$WORK/stdout" 2>"$WORK/stderr" && STATUS=0 || STATUS=$?
}

# interrupt PATTERN ARGS...: runs the CLI in the background until its standard output holds PATTERN (5 s
# at most), then 0.3 s more, and sends it Ctrl-C; exit status to STATUS.
interrupt() {
    "$CLI" "${@:2}" </dev/null >"$WORK/stdout" 2>"$WORK/stderr" &
    timeout 5 sh -c 'until grep -q "$0" "$1"; do sleep 0.05; done' "$1" "$WORK/stdout" || true
    sleep 0.3
    kill -INT $!
    wait $! && STATUS=0 || STATUS=$?
}

# expect_eq CASE EXPECTED ACTUAL (files compared as expect_eq CASE "" "$(cmp A B 2>&1)").
expect_eq() {
    [ "$2" != "$3" ] || return 0
    echo "FAIL [$TEST_NAME] $1: expected [$2], got [$3]" >&2
    FAILURES=$((FAILURES + 1))
}
