#!/usr/bin/env bash
# Memory and time limits of the reader, measured on the command-line tool with $PEAK_RSS:
# - a 64 MiB update file (packed from a 64 MiB SysEx file) is inspected with peak memory under twice
#   its size;
# - files whose records or product name declare 4 GiB (0xFFFFFFFF bytes) are answered in under a
#   second with peak memory under 50 MiB: a portion is rejected, an image and the port-name records
#   are accepted with what the file holds, the product name is a truncated header;
# - an update of ten portions to a simulated device that answers each with a message it never ends
#   (128 KiB every 500 ms, about 30 MiB in all) or with a flood of busy messages ends with the right
#   verdict and peak memory within 8 MiB of the same update to a well-behaved device.
# Prints every figure it measures.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
: "${PEAK_RSS:?PEAK_RSS must name the peak_rss tool}"

SIZE=$((64 * 1024 * 1024))
SMALL_LIMIT_KIB=$((50 * 1024))
TIME_LIMIT_MS=1000

# measure CASE ARGS...: runs the CLI under $PEAK_RSS; sets STATUS, PEAK_KIB and WALL_MS.
measure() {
    local case=$1
    shift
    set +e
    "$PEAK_RSS" "$CLI" "$@" >"$WORK/stdout" 2>"$WORK/stderr"
    STATUS=$?
    set -e
    local figures
    figures=$(grep -E '^peak_rss_kib=[0-9]+ wall_ms=[0-9]+$' "$WORK/stderr" | tail -n 1 || true)
    if [ -z "$figures" ]; then
        fail "$case: $PEAK_RSS printed no figures; stderr: $(head -c 400 "$WORK/stderr")"
        PEAK_KIB=0
        WALL_MS=0
        return
    fi
    PEAK_KIB=${figures#peak_rss_kib=}
    PEAK_KIB=${PEAK_KIB%% *}
    WALL_MS=${figures##*wall_ms=}
    # What the CLI itself wrote on standard error, without the measurement line.
    grep -vE '^peak_rss_kib=' "$WORK/stderr" >"$WORK/cli-stderr" || true
    echo "$TEST_NAME: $case: exit $STATUS, peak memory $PEAK_KIB KiB, wall $WALL_MS ms"
}

# expect_below CASE WHAT VALUE LIMIT UNIT
expect_below() {
    CHECKS=$((CHECKS + 1))
    if [ "$3" -ge "$4" ]; then
        fail "$1: $2 $3 $5 is not below the limit of $4 $5"
    fi
}

# --- A 64 MiB update file, inspected with peak memory under twice its size.
{
    printf '\xf0'
    head -c $((SIZE - 2)) /dev/zero | tr '\0' '\020'
    printf '\xf7'
} >"$WORK/big.syx"
run pack -o "$WORK/big.upd" --product "Ostrel Kelva" --version 2.10 --portion "$WORK/big.syx@250"
expect_status "pack 64 MiB" 0
rm -f "$WORK/big.syx"
big_size=$(wc -c <"$WORK/big.upd")
echo "$TEST_NAME: 64 MiB update file: $big_size bytes"

measure "inspect 64 MiB update" inspect "$WORK/big.upd"
expect_status "inspect 64 MiB update" 0
expect_contains "inspect 64 MiB update" "$WORK/stdout" "Portion 1: $SIZE bytes, delay 250 ms"
expect_contains "inspect 64 MiB update" "$WORK/stdout" "Total SysEx:    $SIZE bytes"
expect_below "inspect 64 MiB update" "peak memory" "$PEAK_KIB" $((2 * big_size / 1024)) KiB
echo "$TEST_NAME: inspect 64 MiB update: peak memory is $((PEAK_KIB * 1024 * 100 / big_size))% of the file size"
rm -f "$WORK/big.upd"

# --- Files that declare 4 GiB for one field.
HUGE=4294967295
{ header "Kelva" 1 5 "note" 0 0 0; u32 1; u32 $HUGE; printf '\xf0\x01\xf7'; } >"$WORK/huge-portion.upd"
{ header "Kelva" 1 5 "note" 0 0 0; u32 2; u32 $HUGE; printf 'IMG'; } >"$WORK/huge-image.upd"
{ header "Kelva" 1 5 "note" 0 0 0; u32 5; u32 $HUGE; printf 'Kelva Port'; } >"$WORK/huge-mac-names.upd"
{ header "Kelva" 1 5 "note" 0 0 0; u32 3; u32 $HUGE; printf 'win:x:max:77'; } >"$WORK/huge-win-params.upd"
{ printf 'OrvoUpdateFile'; u16 4; u32 $HUGE; printf 'Kelva'; } >"$WORK/huge-product-name.upd"
{ printf 'OrvoUpdateFile'; u16 4; str "Kelva"; u16 1; u16 5; u32 $HUGE; printf 'note'; } >"$WORK/huge-message.upd"

# check_huge CASE FILE STATUS TEXT: inspect answers in time and in little memory with STATUS, and TEXT
# on standard error (exit 1) or standard output (exit 0).
check_huge() {
    local case=$1 file=$2 status=$3 text=$4
    measure "$case" inspect "$WORK/$file"
    expect_status "$case" "$status"
    expect_below "$case" "peak memory" "$PEAK_KIB" $SMALL_LIMIT_KIB KiB
    expect_below "$case" "wall time" "$WALL_MS" $TIME_LIMIT_MS ms
    if [ "$status" -eq 0 ]; then
        expect_contains "$case" "$WORK/stdout" "$text"
    else
        expect_eq "$case: message" "$text" "$(tail -n 1 "$WORK/cli-stderr")"
    fi
}

check_huge "4 GiB portion" huge-portion.upd 1 "Trucated sysex"
check_huge "4 GiB image" huge-image.upd 0 "Image:"
check_huge "4 GiB Mac port names" huge-mac-names.upd 0 "Mac port names: 1:"
check_huge "4 GiB Windows parameters" huge-win-params.upd 0 "Win port names: 1:"
check_huge "4 GiB product name" huge-product-name.upd 1 "Update file was truncated. Did it download correctly?"
check_huge "4 GiB message" huge-message.upd 1 "Update file was truncated. Did it download correctly?"

# The accepted ones keep the bytes the file held.
run inspect --json "$WORK/huge-image.upd"
expect_json "4 GiB image" '.imageSize >= 3' 'true'
run inspect --json "$WORK/huge-mac-names.upd"
expect_json "4 GiB Mac port names" '.macPortNames[0][0:10]' '"Kelva Port"'

# --- The device's worst answers during an update, against a well-behaved device's, in one run.
python3 - "$WORK/four.syx" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for m in range(4):
        f.write(bytes([0xF0, 0x00, 0x00, 0x0E]) + bytes(0x10 + (m + i) % 0x50 for i in range(1019)) + b"\xF7")
PY
portions=()
for _ in $(seq 10); do portions+=(--portion "$WORK/four.syx@0"); done
run pack -o "$WORK/ten.upd" --product "Ostrel Kelva" --version 1.05 --mac-ports 'Ostrel Kelva' "${portions[@]}"
expect_status "pack ten portions" 0
ACCEPTED="The 'Ostrel Kelva' was updated sucessfully to version 1.05."

# update_with REPLY: the update against the simulated device answering so, 100 times faster than
# real time (the endless message's twelve seconds of waiting per portion).
update_with() {
    measure "update, device answering $1" update --simulate --yes --sim-clock-speed 100 --sim-reply "$1" \
        "$WORK/ten.upd"
    expect_status "update, device answering $1" 0
}

update_with accept
expect_contains "well-behaved device" "$WORK/stdout" "$ACCEPTED"
baseline_kib=$PEAK_KIB
for reply in endless-fast flood; do
    update_with $reply
    if [ $reply = flood ]; then verdict=$ACCEPTED; else verdict="The update has been sent."; fi
    expect_contains "device answering $reply" "$WORK/stdout" "$verdict"
    expect_below "device answering $reply" "peak memory above the well-behaved device's" \
        $((PEAK_KIB - baseline_kib)) 8192 KiB
    echo "$TEST_NAME: device answering $reply: peak memory $PEAK_KIB KiB, $((PEAK_KIB * 100 / baseline_kib))% of the well-behaved device's $baseline_kib KiB"
done

finish
