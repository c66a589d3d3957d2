#!/usr/bin/env bash
# Measures what the system's own tool does with the same bytes the updater sends: `amidi -s` of a
# SysEx file to the USB device, recorded at the gadget's end, RUNS times; and, for reference, the
# same bytes in drained writes of 4096 (rawmidi-send) with KTEST_DRAINED_REFERENCE=1. Prints each
# run and FIGURE lines.
# Always exits 0 when the gadget works: amidi's corruption is a measurement here, not a failure
# of ours. Runs inside the VM (after gadget_up or on its own).
# usage: amidi-compare.sh FILE [RUNS]
source "$(dirname "$0")/lib.sh"
file=$1
runs=${2:-5}
size=$(stat -c %s "$file")
work=$(mktemp -d)

if [ -z "$(seq_client_number "$GADGET_PRODUCT")" ]; then
    gadget_up || { ktest_fail "the gadget did not come up"; exit 1; }
fi

measure() { # NAME COMMAND...
    local name=$1
    shift
    local identical=0 total_ms=0 min_ms= max_ms=0 run start end ms
    for run in $(seq 1 "$runs"); do
        capture_start "$(gadget_rawmidi)" "$work/got" "$size" 15 > /dev/null
        start=${EPOCHREALTIME/./}
        "$@" > /dev/null
        end=${EPOCHREALTIME/./}
        capture_wait > /dev/null
        ms=$(((end - start) / 1000))
        total_ms=$((total_ms + ms))
        [ -z "$min_ms" ] || [ "$ms" -lt "$min_ms" ] && min_ms=$ms
        [ "$ms" -gt "$max_ms" ] && max_ms=$ms
        if cmp -s "$file" "$work/got"; then
            identical=$((identical + 1))
            echo "$name run $run: $ms ms, byte-identical"
        else
            echo "$name run $run: $ms ms, DIFFERS: got $(stat -c %s "$work/got") bytes, $(cmp -l "$file" "$work/got" 2> /dev/null | wc -l) bytes differ"
        fi
    done
    local mean=$((total_ms / runs))
    echo "FIGURE: $name: $identical of $runs runs byte-identical; $size bytes in mean $mean ms (min $min_ms, max $max_ms); $(((size * 1000 / mean) / 1024)) KiB/s"
}

measure "amidi -s" amidi -p "$(usb_rawmidi)" -s "$file"
if [ "${KTEST_DRAINED_REFERENCE:-0}" = 1 ]; then
    measure "drained 4096-byte writes" "$KTEST_TOOLS/rawmidi-send" "$(usb_rawmidi)" "$file" 4096
fi
ktest_pass "amidi comparison measured"
ktest_summary
