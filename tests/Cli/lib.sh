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
    set +e
    "$CLI" "$@" >"$WORK/stdout" 2>"$WORK/stderr"
    STATUS=$?
    set -e
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

# Little-endian encoders for update files composed by hand; str is a 32-bit length and the bytes.
u8() { printf "\\x$(printf %02x $(($1 & 255)))"; }
u16() { u8 "$1"; u8 $(($1 >> 8)); }
u32() { u16 $(($1 & 65535)); u16 $(($1 >> 16)); }
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
