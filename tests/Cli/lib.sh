# shellcheck shell=bash
# Shared helpers for the command-line test scripts. Each script does
#   set -euo pipefail; source "$(dirname "$0")/lib.sh"
# then runs its cases and ends with `finish`.
# CLI names the midi-updater-cli binary; EXAMPLES the examples folder.

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
    if [ "$FAILURES" -ne 0 ]; then
        echo "$TEST_NAME: $FAILURES of $CHECKS checks failed" >&2
        exit 1
    fi
    echo "$TEST_NAME: all $CHECKS checks passed"
}

# run ARGS...: runs the CLI; its standard output goes to $WORK/stdout, its standard error to
# $WORK/stderr and its exit status to STATUS.
run() {
    set +e
    "$CLI" "$@" >"$WORK/stdout" 2>"$WORK/stderr"
    STATUS=$?
    set -e
}

# expect_status CASE N: the last run ended with status N.
expect_status() {
    CHECKS=$((CHECKS + 1))
    if [ "$STATUS" -ne "$2" ]; then
        fail "$1: exit status $STATUS, expected $2; stderr: $(head -c 400 "$WORK/stderr")"
    fi
}

# expect_eq CASE EXPECTED ACTUAL
expect_eq() {
    CHECKS=$((CHECKS + 1))
    if [ "$2" != "$3" ]; then
        fail "$1: expected [$2], got [$3]"
    fi
}

# expect_file_text CASE FILE EXPECTED: FILE holds exactly EXPECTED (compared with a trailing newline).
expect_file_text() {
    CHECKS=$((CHECKS + 1))
    if ! diff -u <(printf '%s\n' "$3") "$2" >"$WORK/diff"; then
        fail "$1: $(basename "$2") differs from what was expected:"
        cat "$WORK/diff" >&2
    fi
}

# expect_same_bytes CASE EXPECTED_FILE ACTUAL_FILE
expect_same_bytes() {
    CHECKS=$((CHECKS + 1))
    if ! cmp "$2" "$3" >/dev/null 2>&1; then
        fail "$1: $3 ($(wc -c <"$3" 2>/dev/null || echo missing) bytes) differs from $2 ($(wc -c <"$2") bytes)"
    fi
}

# expect_contains CASE FILE TEXT: FILE contains TEXT (a fixed string).
expect_contains() {
    CHECKS=$((CHECKS + 1))
    if ! grep -qF -- "$3" "$2"; then
        fail "$1: $(basename "$2") does not contain [$3]; it holds: $(head -c 400 "$2")"
    fi
}

# expect_empty CASE FILE
expect_empty() {
    CHECKS=$((CHECKS + 1))
    if [ -s "$2" ]; then
        fail "$1: $(basename "$2") should be empty; it holds: $(head -c 400 "$2")"
    fi
}

# json CASE FILTER: the jq FILTER applied to the last run's standard output, compact.
json() {
    jq -c "$2" "$WORK/stdout" 2>/dev/null || fail "$1: standard output is not JSON: $(head -c 400 "$WORK/stdout")"
}

# expect_json CASE FILTER EXPECTED: jq -c FILTER of the last run's standard output is EXPECTED.
expect_json() {
    expect_eq "$1 ($2)" "$3" "$(json "$1" "$2")"
}

# Little-endian encoders for composing update files by hand.
u8() { printf "\\x$(printf %02x $(($1 & 255)))"; }
u16() { u8 "$1"; u8 $(($1 >> 8)); }
u32() { u16 $(($1 & 65535)); u16 $(($1 >> 16)); }
# A string or byte block: its 32-bit length, then its bytes (LC_ALL=C makes ${#} count bytes).
str() { u32 ${#1}; printf '%s' "$1"; }

# header PRODUCT MAJOR MINOR MESSAGE W1 W2 W3: an update-file header, format version 4.
header() {
    printf 'OrvoUpdateFile'
    u16 4
    str "$1"
    u16 "$2"
    u16 "$3"
    str "$4"
    u16 "$5"
    u16 "$6"
    u16 "$7"
}

# The standard note that the message "<sysex>" stands for, and that raw SysEx files carry.
SYSEX_NOTE="To apply this update file, please detach all MIDI devices from your computer, and shut down all other \
MIDI applications.

Then plug in your device and put it into update mode. Refer to the User's Manual for details on how to do this.

When the device is ready to accept an update, you can start the update process.
"
