#!/usr/bin/env bash
# Experiments on what corrupts writes to the USB MIDI device (docs/alsa-delivery.md): each variant
# sends the same file to the USB device and the gadget's end records it; variants run interleaved,
# ROUNDS times each, in one boot. Every run prints its time and, when the record differs, where the
# differing bytes came from (diff-runs.py); the end prints per variant the identical runs and the
# median time.
# usage (inside the VM): delivery-experiments.sh FILE ROUNDS VARIANT...
#   VARIANT = "NAME|CAPTURE_ENV|COMMAND": CAPTURE_ENV are VAR=VALUE words for rawmidi-capture
#   (CAPTURE_BUFFER, CAPTURE_READ, CAPTURE_DELAY_US; may be empty); COMMAND is run with $usb (the
#   USB device's raw MIDI), $file and $tools set, e.g. '$tools/rawmidi-send $usb $file 65536 drain 65536'.
here_dir=$(cd "$(dirname "$0")" && pwd)
source "$here_dir/lib.sh"
file=$1
rounds=$2
shift 2
size=$(stat -c %s "$file")
work=$(mktemp -d)
tools=$KTEST_TOOLS
if [ -z "$(seq_client_number "$GADGET_PRODUCT")" ]; then
    gadget_up || { ktest_fail "the gadget did not come up"; exit 1; }
fi
usb=$(usb_rawmidi)
dev=$(gadget_rawmidi)
declare -A identical times
for round in $(seq 1 "$rounds"); do
    for variant in "$@"; do
        IFS='|' read -r name capenv command <<< "$variant"
        ready=$(mktemp -u)
        env $capenv "$KTEST_TOOLS/rawmidi-capture" "$dev" "$work/got" "$size" 10 "$ready" > "$work/capture.log" &
        capture_pid=$!
        while [ ! -e "$ready" ] && kill -0 "$capture_pid" 2> /dev/null; do sleep 0.05; done
        rm -f "$ready"
        start=${EPOCHREALTIME/./}
        eval "$command" > "$work/send.log" 2>&1
        sent_status=$?
        end=${EPOCHREALTIME/./}
        [ $sent_status -eq 0 ] || echo "  the sender ended with status $sent_status: $(tail -n 2 "$work/send.log")"
        wait "$capture_pid"
        ms=$(((end - start) / 1000))
        times[$name]="${times[$name]} $ms"
        result=$(python3 "$here_dir/diff-runs.py" "$file" "$work/got" 2>&1)
        if [ "$result" = identical ]; then
            identical[$name]=$((${identical[$name]:-0} + 1))
            echo "RUN: $name round $round: $ms ms, identical"
        else
            echo "RUN: $name round $round: $ms ms, $(tail -n 1 <<< "$result") ($(cat "$work/capture.log"))"
            head -n -1 <<< "$result"
        fi
    done
done
for variant in "$@"; do
    IFS='|' read -r name capenv command <<< "$variant"
    median=$(tr ' ' '\n' <<< "${times[$name]}" | grep . | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : int((a[NR/2]+a[NR/2+1])/2)}')
    echo "FIGURE: experiment $name: ${identical[$name]:-0} of $rounds identical, median $median ms ($capenv $command)"
done
