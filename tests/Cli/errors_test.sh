#!/usr/bin/env bash
# midi-updater-cli with files the reader rejects, files it cannot open, and wrong command lines.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

BAD_HEADER="Update file was invalid (bad header)."
WRONG_VERSION="Update file is wrong version. Please check you have the latest version of the updater."
TRUNCATED="Update file was truncated. Did it download correctly?"
TRUCATED_SYSEX="Trucated sysex"
UNRECOGNISED="File contains unrecognised data. Please Please check you have the latest version of the updater."

# expect_rejected CASE FILE TEXT: inspect and extract exit 1 with TEXT alone as the last line on
# standard error; inspect --json prints {"error": TEXT} on standard output.
expect_rejected() {
    local case=$1 file=$2 text=$3
    run inspect "$file"
    expect_status "$case: inspect" 1
    expect_empty "$case: inspect stdout" "$WORK/stdout"
    expect_eq "$case: inspect stderr" "$text" "$(tail -n 1 "$WORK/stderr")"
    run inspect --json "$file"
    expect_status "$case: inspect --json" 1
    expect_json "$case: inspect --json" '.' "$(jq -cn --arg t "$text" '{error: $t}')"
    run extract "$file" --portion 1 -o "$WORK/extracted"
    expect_status "$case: extract" 1
    expect_eq "$case: extract stderr" "$text" "$(tail -n 1 "$WORK/stderr")"
    CHECKS=$((CHECKS + 1))
    [ ! -e "$WORK/extracted" ] || fail "$case: extract left $WORK/extracted behind"
}

# Bad header: a magic one letter off, one letter's case off, too short, empty, F0 without F7.
{ printf 'OrvoUpdateFilf'; u16 4; } >"$WORK/magic.upd"
expect_rejected "magic off by a letter" "$WORK/magic.upd" "$BAD_HEADER"
{ printf 'orvoUpdateFile'; u16 4; } >"$WORK/case.upd"
expect_rejected "magic in other case" "$WORK/case.upd" "$BAD_HEADER"
printf 'OrvoUpdate' >"$WORK/short.upd"
expect_rejected "shorter than the magic" "$WORK/short.upd" "$BAD_HEADER"
: >"$WORK/empty.upd"
expect_rejected "empty file" "$WORK/empty.upd" "$BAD_HEADER"
printf '\xF0\x00\x00' >"$WORK/unterminated.syx"
expect_rejected "F0 without F7" "$WORK/unterminated.syx" "$BAD_HEADER"

# Wrong format version: 3, 5, and a version cut after one byte.
{ printf 'OrvoUpdateFile'; u16 3; } >"$WORK/v3.upd"
expect_rejected "format version 3" "$WORK/v3.upd" "$WRONG_VERSION"
{ header "K" 1 0 "" 0 0 0; } | sed 's/^OrvoUpdateFile\x04/OrvoUpdateFile\x05/' >"$WORK/v5.upd"
expect_rejected "format version 5" "$WORK/v5.upd" "$WRONG_VERSION"
{ printf 'OrvoUpdateFile\x04'; } >"$WORK/vcut.upd"
expect_rejected "format version cut" "$WORK/vcut.upd" "$WRONG_VERSION"

# Truncated header: cut inside the product name, the version, the message and the last word.
{ header "Ostrel Kelva" 1 5 "Note" 1 2 3; } >"$WORK/whole-header.upd"
size=$(wc -c <"$WORK/whole-header.upd")
for cut in 17 22 30 36 $((size - 1)); do
    head -c "$cut" "$WORK/whole-header.upd" >"$WORK/cut.upd"
    expect_rejected "header cut to $cut of $size bytes" "$WORK/cut.upd" "$TRUNCATED"
done

# A portion cut inside its bytes, and inside its delay.
{ header "K" 1 0 "" 0 0 0; u32 1; u32 10; printf '\xF0\x01\x02'; } >"$WORK/portion-bytes.upd"
expect_rejected "portion cut inside its bytes" "$WORK/portion-bytes.upd" "$TRUCATED_SYSEX"
{ header "K" 1 0 "" 0 0 0; u32 1; u32 3; printf '\xF0\x01\xF7\x10\x00'; } >"$WORK/portion-delay.upd"
expect_rejected "portion cut inside its delay" "$WORK/portion-delay.upd" "$TRUCATED_SYSEX"

# Unrecognised record tags 0, 4 and 6, after a good record; the reader also writes FILE:LINE to stderr.
for tag in 0 4 6; do
    { header "K" 1 0 "" 0 0 0; u32 5; str "A"; u32 "$tag"; u32 0; } >"$WORK/tag$tag.upd"
    expect_rejected "record tag $tag" "$WORK/tag$tag.upd" "$UNRECOGNISED"
    run inspect "$WORK/tag$tag.upd"
    CHECKS=$((CHECKS + 1))
    if [ "$(wc -l <"$WORK/stderr")" -ne 2 ] || ! head -n 1 "$WORK/stderr" | grep -qE '^.+:[0-9]+$'; then
        fail "record tag $tag: stderr should be a FILE:LINE line and the message; it is: $(cat "$WORK/stderr")"
    fi
done

# Files that cannot be opened: exit 1, a message naming the file and the reason.
missing="$WORK/no such file.upd"
run inspect "$missing"
expect_status "missing file" 1
expect_contains "missing file: names the file" "$WORK/stderr" "$missing"
expect_contains "missing file: gives the reason" "$WORK/stderr" "No such file or directory"
run inspect --json "$missing"
expect_status "missing file, json" 1
CHECKS=$((CHECKS + 1))
jq -e --arg f "$missing" '.error | contains($f) and contains("No such file or directory")' "$WORK/stdout" \
    >/dev/null || fail "missing file, json: error should name the file and reason: $(cat "$WORK/stdout")"
mkdir "$WORK/folder.upd"
run inspect "$WORK/folder.upd"
expect_status "directory" 1
expect_contains "directory: names the file" "$WORK/stderr" "$WORK/folder.upd"
expect_contains "directory: gives the reason" "$WORK/stderr" "Is a directory"
run extract "$missing" --image -o "$WORK/x"
expect_status "missing file, extract" 1
expect_contains "missing file, extract" "$WORK/stderr" "$missing"

# Output that cannot be written to standard output is a failure, not a silent success.
if [ -w /dev/full ]; then
    { header "K" 1 0 "" 0 0 0; } >"$WORK/small.upd"
    for args in "inspect" "inspect --json"; do
        set +e
        "$CLI" $args "$WORK/small.upd" >/dev/full 2>"$WORK/stderr"
        STATUS=$?
        set -e
        expect_status "$args to a full device" 1
        expect_contains "$args to a full device" "$WORK/stderr" "standard output"
    done
fi

# Usage errors: exit 2 and a word on stderr, nothing on stdout.
{ header "K" 1 0 "" 0 0 0; u32 1; u32 2; printf '\xF0\xF7'; u32 0; } >"$WORK/good.upd"
expect_usage() {
    local case=$1
    shift
    run "$@"
    expect_status "usage, $case" 2
    CHECKS=$((CHECKS + 1))
    [ -s "$WORK/stderr" ] || fail "usage, $case: nothing on stderr"
    expect_empty "usage, $case: stdout" "$WORK/stdout"
}
expect_usage "no subcommand"
expect_usage "unknown subcommand" frobnicate "$WORK/good.upd"
expect_usage "unknown option" inspect --colour "$WORK/good.upd"
expect_usage "unknown top-level option" --colour inspect "$WORK/good.upd"
expect_usage "inspect without FILE" inspect
expect_usage "inspect with two files" inspect "$WORK/good.upd" "$WORK/good.upd"
expect_usage "extract without FILE" extract --portion 1 -o "$WORK/x"
expect_usage "extract without --portion or --image" extract "$WORK/good.upd" -o "$WORK/x"
expect_usage "extract with both --portion and --image" extract "$WORK/good.upd" --portion 1 --image -o "$WORK/x"
expect_usage "extract without -o" extract "$WORK/good.upd" --portion 1
expect_usage "extract portion 0" extract "$WORK/good.upd" --portion 0 -o "$WORK/x"
expect_usage "extract portion past the last" extract "$WORK/good.upd" --portion 2 -o "$WORK/x"
expect_usage "extract portion not a number" extract "$WORK/good.upd" --portion two -o "$WORK/x"
expect_usage "extract negative portion" extract "$WORK/good.upd" --portion -1 -o "$WORK/x"
expect_usage "pack without -o" pack --product K --version 1.0
expect_usage "pack without --product" pack -o "$WORK/x" --version 1.0
expect_usage "pack without --version" pack -o "$WORK/x" --product K
CHECKS=$((CHECKS + 1))
[ ! -e "$WORK/x" ] || fail "a usage error wrote $WORK/x"

finish
