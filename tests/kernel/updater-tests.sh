#!/usr/bin/env bash
# midi-updater-cli against the kernel's USB MIDI stack in the VM: the simulated device plays the gadget's
# end (`simulate --rawmidi`), updates go to the USB device "Ostrel Kelva" through ALSA. Catches: bytes
# lost, changed or reordered (the device's records compared byte for byte), a wrong port match, wrong
# verdicts or exit statuses, no retry after a replug, a hang or crash once the device is gone for good,
# status --watch missing an unplug or replug, late (over 1 s) or not ending with 130 on Ctrl-C.
# usage: updater-tests.sh CLI DATA_DIR   (DATA_DIR as run-kernel-tests.sh prepares it)
source "$(dirname "$0")/../../tools/kernel-vm/lib.sh"
cli=$1
data=$2
work=$(mktemp -d)
repetitions=${KTEST_REPETITIONS:-10}
[ -f "$data/kelva-1m.upd" ] || { echo "SKIPPED: updater kernel tests: no test updates in $data"; exit 77; }
ktest_check "the gadget is up" gadget_up
"$cli" list > "$work/list.txt" 2>&1
ktest_check "list shows the USB device's port \"Ostrel Kelva MIDI 1\"" grep -q -F "Ostrel Kelva MIDI 1" "$work/list.txt"

# Name rules, alongside the deliveries below: a wrong match would put their bytes into those records.
update_start name-lower "$data/other-4k.syx" --port "ostrel kelva"
update_start name-suffix "$data/other-4k.syx" --port "Ostrel Kelva 2"

# The 1 MiB update of 4 portions, repeated, then the same 1 MiB as one .syx portion to --port, timed
# for the comparison with amidi; one simulated device each, its record cut into one piece per run.
for kind in upd syx; do
    runs=$repetitions file=$data/kelva-1m.upd args=()
    [ $kind = syx ] && runs=${KTEST_TIMED_RUNS:-3} file=$data/all-1m.syx args=(--port "Ostrel Kelva")
    sim_start $kind "$work/$kind.rec" --sim-busy 0 || ktest_fail "the simulated device opened the device end"
    good=0 total_ms=0
    for run in $(seq 1 "$runs"); do
        update_run "$kind$run" "$file" "${args[@]}"
        check_update "$kind$run" 0 completed "$accepted" && good=$((good + 1))
        ms=$(ms_between "$kind$run" "Looking for" "Checking update status...")
        total_ms=$((total_ms + ${ms:-0}))
    done
    sim_stop || ktest_fail "the simulated device stopped cleanly after the $kind runs"
    identical=$(identical_runs "$work/$kind.rec" "$data/all-1m.syx" "$runs")
    mean=$((total_ms / runs))
    echo "FIGURE: midi-updater-cli update ($kind): $identical of $runs runs byte-identical; 1048576 bytes in mean $mean ms; $((1024000 / (mean > 0 ? mean : 1))) KiB/s"
    ktest_check "1 MiB $kind${args[*]:+ ${args[*]}}: accepted in $good of $runs runs" test "$good" -eq "$runs"
    ktest_check "1 MiB $kind: byte-identical and in order in $identical of $runs runs" test "$identical" -eq "$runs"
done
for name in name-lower name-suffix; do update_wait "$name" > /dev/null; done
ktest_check "--port \"ostrel kelva\" matches no client: error verdict, exit 1" check_update name-lower 1 error ""
ktest_check "--port \"Ostrel Kelva 2\" matches no client: error verdict, exit 1" check_update name-suffix 1 error ""

# Unplugged once portion 1 is accepted, replugged 20 s later (the device end opened before the host
# sees the device); then unplugged for good (its retries take over a minute: the software client runs
# meanwhile).
for name in replug gone; do
    gadget_up
    sim_start $name-1 "$work/$name-1.rec"
    update_start $name "$data/kelva-unplug.upd"
    if ! wait_event $name "Device has accepted update." 120; then
        ktest_fail "$name: portion 1 was never accepted"
        kill "$(eval echo "\$update_pid_$name")" 2> /dev/null
        sim_stop
        continue
    fi
    unplugged=$SECONDS
    gadget_unplug || ktest_fail "unplug"
    sim_stop || ktest_fail "the simulated device stopped cleanly after the unplug"
    ktest_check "$name: portion 1 arrived byte-identical before the unplug" same_bytes "$data/p1.syx" "$work/$name-1.rec"
    [ $name = gone ] && break
    while [ $((SECONDS - unplugged)) -lt 20 ]; do sleep 0.5; done
    replug_with_sim replug-2 "$work/replug-2.rec"
    update_wait replug > /dev/null
    sim_stop || ktest_fail "the simulated device stopped cleanly after the replug"
    ktest_check "replugged 20 s later: the update retried" grep -q "Retrying" "$work/replug.json"
    cat "$data"/p{2,3,4}.syx > "$work/portions-2-4"
    check_delivered replug "replugged 20 s later, portions 2 to 4" "$work/portions-2-4" "$work/replug-2.rec"
done

# A software client: the simulator as an ALSA sequencer client, 1 MiB of 16 KiB messages.
soft_client_start "$work/soft.rec"
update_run soft "$data/chunked-16k.syx" --port "Kelva Software"
sim_stop || ktest_fail "the software simulator stopped cleanly"
check_delivered soft "software client" "$data/chunked-16k.syx" "$work/soft.rec"

update_wait gone > /dev/null
status=$(cat "$work/gone.rc")
ktest_check "unplugged for good: ended before its time-out, no crash (exit $status)" test "$status" -lt 124
ktest_check "unplugged for good: the error verdict, exit 1" check_update gone 1 error "There was an error sending the update file."

# status --watch --json prints the device's state each time the sequencer announces a change: three
# unplugs and replugs, each shown within 1 s. The simulated device answers the identity request.
gadget_up || ktest_fail "the gadget is up again"
sim_start status-0 "$work/status-0.rec" || ktest_fail "the simulated device opened the device end"
connected='"connected":true,"port":"Ostrel Kelva MIDI 1","usb":true'
stamped_start "$work/status.json" 1 "$cli" status --watch --json
ktest_check "status --watch: connected at the start" stamped_line_seen "$work/status.json" 0 "$connected" 30 > /dev/null
replug_rounds status "$work/status.json" '"connected":false' "$connected" 3
ctrl_c "$watch_pid" 5
wait "$stamp_pid"
ktest_check "status --watch: ends with Ctrl-C, exit 130 (got $ctrl_c_status)" test "$ctrl_c_status" = 130
sim_stop || ktest_fail "the simulated device stopped cleanly after the status runs"
ktest_check "status --watch: one line per change (connected, then 3 x not connected and connected again)" \
    test "$(cut -d' ' -f2- "$work/status.json" | uniq | wc -l)" -eq 7 -a "$(wc -l < "$work/status.json")" -eq 7
dmesg | grep -i -E 'overrun|oops|BUG|WARNING' | tail -n 20
ktest_summary
