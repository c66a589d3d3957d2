#!/usr/bin/env bash
# Memory and time bounds, measured on the command-line tool with $PEAK_RSS (prints every figure).
# Catches: a reader that holds a 64 MiB file more than twice over, an update that keeps what a device
# floods it with. (Lengths of 4 GiB a file declares are bounded in the reader's own tests.)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
: "${PEAK_RSS:?PEAK_RSS must name the peak_rss tool}"

# measure CASE LIMIT_KIB LIMIT_MS ARGS...: runs the CLI under $PEAK_RSS, checks peak memory and wall
# time against the limits, sets STATUS and PEAK_KIB.
measure() {
    "$PEAK_RSS" "$CLI" "${@:4}" >"$WORK/stdout" 2>"$WORK/stderr" && STATUS=0 || STATUS=$?
    read -r PEAK_KIB wall < <(sed -nE 's/^peak_rss_kib=([0-9]+) wall_ms=([0-9]+)$/\1 \2/p' "$WORK/stderr") || true
    echo "$TEST_NAME: $1: exit $STATUS, peak memory ${PEAK_KIB:=0} KiB, wall ${wall:=0} ms"
    expect_eq "$1: peak memory $PEAK_KIB KiB (0 < it < $2), wall $wall ms (< $3)" 1 \
        "$((PEAK_KIB > 0 && PEAK_KIB < $2 && wall < $3))"
}

# A 64 MiB portion: inspected with peak memory under twice the file's size.
SIZE=$((64 * 1024 * 1024))
{ printf '\xf0'; head -c $((SIZE - 2)) /dev/zero | tr '\0' '\020'; printf '\xf7'; } >big.syx
"$CLI" pack -o big.upd --product "Ostrel Kelva" --version 2.10 --portion big.syx@250
rm big.syx
measure "inspect 64 MiB" $((2 * $(wc -c <big.upd) / 1024)) 60000 inspect big.upd
expect_eq "inspect 64 MiB: the portion" 1 "$(grep -cxF "Portion 1: $SIZE bytes, delay 250 ms" "$WORK/stdout")"
rm big.upd

# Ten portions to a device that answers each with a message it never ends (128 KiB every 500 ms) or
# a flood of busy messages: the verdict, and peak memory within 8 MiB of a well-behaved device's. At
# 30 times real time (not faster: on a busy machine the simulated service then queues megabytes).
python3 -c 'import sys; sys.stdout.buffer.write(b"".join(b"\xF0\x00\x00\x0E" + bytes(0x10 + (m + i) % 0x50 for i in range(1019)) + b"\xF7" for m in range(4)))' >four.syx
# shellcheck disable=SC2046 # ten words "--portion four.syx"
"$CLI" pack -o ten.upd --product "Ostrel Kelva" --version 1.05 --mac-ports 'Ostrel Kelva' $(printf -- '--portion four.syx %.0s' $(seq 10))
baseline=1000000 # the well-behaved device's figure, measured first
for row in "accept|The 'Ostrel Kelva' was updated sucessfully to version 1.05." \
    "endless-fast|The update has been sent." "flood|The 'Ostrel Kelva' was updated sucessfully to version 1.05."; do
    measure "update, device answering ${row%%|*}" $((baseline + 8192)) 60000 \
        update --simulate --yes --sim-clock-speed 30 --sim-reply "${row%%|*}" ten.upd
    expect_eq "update, device answering ${row%%|*}" "0|${row#*|}" "$STATUS|$(tail -n 1 "$WORK/stdout")"
    [ "$baseline" != 1000000 ] || baseline=$PEAK_KIB
done
