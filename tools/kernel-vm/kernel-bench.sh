#!/usr/bin/env bash
# The delivery benchmark (make kernel-bench), inside the VM: the same file sent to the USB MIDI
# device by `amidi -s` and by the updater's delivery alone (DRIVER, bench/alsa_delivery_driver: the
# platform port over the ALSA back end, the engine's chunks, no status wait), RUNS times each,
# interleaved (the order alternates from round to round), every run recorded at the gadget's end
# and compared with the file. Each run is timed from the process's start to its end.
# Prints every run, both medians, the throughput ratio (amidi's median time / ours) and the
# byte-identical runs of each. Exit 1 when one of our runs was not byte-identical or failed, or when
# the ratio is below KTEST_BENCH_GOAL (default 0.9); amidi's corruption is a measurement, not a failure.
# With KTEST_BENCH_BASELINE naming another build of the driver (for example of an earlier
# commit), that one runs in every round too and its figures are printed beside (no check on them).
# usage (inside the VM): kernel-bench.sh DRIVER FILE [RUNS]
source "$(dirname "$0")/lib.sh"
driver=$1
file=$2
runs=${3:-10}
goal=${KTEST_BENCH_GOAL:-0.9}
size=$(stat -c %s "$file")
work=$(mktemp -d)

if [ -z "$(seq_client_number "$GADGET_PRODUCT")" ]; then
    gadget_up || { ktest_fail "the gadget did not come up"; exit 1; }
fi
usb=$(usb_rawmidi)
dev=$(gadget_rawmidi)
ours_failed=0
declare -A identical times

one_run() { # NAME ROUND COMMAND...
    local name=$1 round=$2 start end ms status
    shift 2
    capture_start "$dev" "$work/got" "$size" 15 > /dev/null
    start=${EPOCHREALTIME/./}
    "$@" > "$work/run.log" 2>&1
    status=$?
    end=${EPOCHREALTIME/./}
    capture_wait > /dev/null
    ms=$(((end - start) / 1000))
    times[$name]="${times[$name]} $ms"
    if [ $status -eq 0 ] && cmp -s "$file" "$work/got"; then
        identical[$name]=$((${identical[$name]:-0} + 1))
        echo "$name run $round: $ms ms, byte-identical"
    else
        echo "$name run $round: $ms ms, exit $status, $(python3 "$(dirname "$0")/diff-runs.py" "$file" "$work/got" | tail -n 1)"
        [ "$name" = updater ] && ours_failed=1
        sed 's/^/  /' "$work/run.log" | tail -n 3
    fi
}
median() { tr ' ' '\n' <<< "$1" | grep . | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : int((a[NR/2]+a[NR/2+1])/2)}'; }

baseline=${KTEST_BENCH_BASELINE:-}
for round in $(seq 1 "$runs"); do
    if [ $((round % 2)) -eq 1 ]; then
        one_run amidi "$round" amidi -p "$usb" -s "$file"
        one_run updater "$round" "$driver" "$file"
        [ -z "$baseline" ] || one_run baseline "$round" "$baseline" "$file"
    else
        [ -z "$baseline" ] || one_run baseline "$round" "$baseline" "$file"
        one_run updater "$round" "$driver" "$file"
        one_run amidi "$round" amidi -p "$usb" -s "$file"
    fi
done
amidi_ms=$(median "${times[amidi]}")
ours_ms=$(median "${times[updater]}")
ratio=$(awk -v a="$amidi_ms" -v o="$ours_ms" 'BEGIN { printf "%.2f", a / o }')
echo "FIGURE: kernel-bench: $size bytes; amidi -s median $amidi_ms ms, ${identical[amidi]:-0} of $runs runs byte-identical; updater's delivery median $ours_ms ms, ${identical[updater]:-0} of $runs runs byte-identical"
echo "FIGURE: kernel-bench: throughput ratio updater / amidi = $ratio (goal >= $goal)"
if [ -n "$baseline" ]; then
    base_ms=$(median "${times[baseline]}")
    echo "FIGURE: kernel-bench: baseline driver ($baseline) median $base_ms ms, ${identical[baseline]:-0} of $runs runs byte-identical; ratio baseline / amidi = $(awk -v a="$amidi_ms" -v o="$base_ms" 'BEGIN { printf "%.2f", a / o }')"
fi
ktest_check "every delivery of ours arrived byte-identical" test "$ours_failed" -eq 0
ktest_check "throughput ratio $ratio >= $goal" awk -v r="$ratio" -v g="$goal" 'BEGIN { exit !(r >= g) }'
ktest_summary
