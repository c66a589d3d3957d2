#!/usr/bin/env bash
# The updater against the kernel's real USB MIDI stack, inside the kernel-test VM: the simulated
# device runs on the gadget's raw MIDI end (`simulate --rawmidi`), `midi-updater-cli update` sends
# to the USB device "Ostrel Kelva" through ALSA, and what the device end recorded is compared with
# the update's portions, byte for byte.
# usage: updater-tests.sh CLI DATA_DIR   (DATA_DIR as run-kernel-tests.sh prepares it)
source "$(dirname "$0")/../../tools/kernel-vm/lib.sh"
cli=$1
data=$2
work=$(mktemp -d)
repetitions=${KTEST_REPETITIONS:-10}

if ! "$cli" update --help > /dev/null 2>&1 || ! "$cli" simulate --help 2>&1 | grep -q -- --rawmidi; then
    echo "SKIPPED: updater kernel tests: $cli has no 'update' command or no 'simulate --rawmidi' yet"
    exit 77
fi
if [ ! -f "$data/kelva-1m.upd" ]; then
    echo "SKIPPED: updater kernel tests: no test update files in $data (midi-updater-cli pack failed?)"
    exit 77
fi

accepted="was updated sucessfully to version"
cat "$data"/p1.syx "$data"/p2.syx "$data"/p3.syx "$data"/p4.syx > "$work/all-portions"
cat "$data"/p2.syx "$data"/p3.syx "$data"/p4.syx > "$work/portions-2-4"

ktest_check "the gadget is up" gadget_up
ktest_log "USB device $(usb_rawmidi), device end $(gadget_rawmidi)"

# ---- the listing -------------------------------------------------------------------------------
"$cli" list > "$work/list.txt" 2>&1
cat "$work/list.txt"
ktest_check "list shows the USB device's port \"Ostrel Kelva MIDI 1\" of \"Ostrel Kelva\"" \
    grep -q -F "Ostrel Kelva MIDI 1" "$work/list.txt"

# ---- name rules, while the device is there: these must never reach it ---------------------------
# They run alongside the deliveries below: a wrong match would put their bytes into those records.
update_start name-lower "$data/other-4k.syx" --port "ostrel kelva"
update_start name-suffix "$data/other-4k.syx" --port "Ostrel Kelva 2"

# ---- the 1 MiB update of 4 portions, repeated -------------------------------------------------------
# One simulated device takes all the runs; its record is then cut into one piece per run.
size=$(stat -c %s "$work/all-portions")
sim_start big "$work/big.rec" --sim-busy 0 || ktest_fail "the simulated device did not open the device end"
accepted_runs=0
for run in $(seq 1 "$repetitions"); do
    start=${EPOCHREALTIME/./}
    update_start "big$run" "$data/kelva-1m.upd"
    update_wait "big$run" > /dev/null
    ms=$(((${EPOCHREALTIME/./} - start) / 1000))
    if check_update "big$run" 0 completed "$accepted"; then
        accepted_runs=$((accepted_runs + 1))
        ktest_log "1 MiB update run $run: accepted, $ms ms"
    else
        ktest_log "1 MiB update run $run: FAILED after $ms ms"
    fi
done
sim_stop || ktest_fail "the simulated device stopped cleanly after the repeated runs"
ktest_check "1 MiB update of 4 portions: accepted in $accepted_runs of $repetitions runs" \
    test "$accepted_runs" -eq "$repetitions"
identical=0
for run in $(seq 1 "$repetitions"); do
    if cmp -s -n "$size" -i "$(((run - 1) * size)):0" "$work/big.rec" "$work/all-portions"; then
        identical=$((identical + 1))
    else
        echo "  run $run: $(cmp -n "$size" -i "$(((run - 1) * size)):0" "$work/big.rec" "$work/all-portions" 2>&1 | head -n 1)"
    fi
done
ktest_check "1 MiB update of 4 portions: the device received $repetitions x 1 MiB in all ($(stat -c %s "$work/big.rec") bytes)" \
    test "$(stat -c %s "$work/big.rec")" -eq $((repetitions * size))
ktest_check "1 MiB update of 4 portions: byte-identical and in order in $identical of $repetitions runs" \
    test "$identical" -eq "$repetitions"

for name in name-lower name-suffix; do
    update_wait "$name" > /dev/null
done
ktest_check "--port \"ostrel kelva\" does not find client \"Ostrel Kelva\": error verdict, exit 1" \
    check_update name-lower 1 error ""
ktest_check "--port \"Ostrel Kelva 2\" does not find client \"Ostrel Kelva\": error verdict, exit 1" \
    check_update name-suffix 1 error ""

# ---- a 64 KiB raw SysEx file, found by --port "Ostrel Kelva" ---------------------------------------
sim_start single "$work/single.rec"
update_start single "$data/single-64k.syx" --port "Ostrel Kelva"
update_wait single > /dev/null
sim_stop || ktest_fail "the simulated device stopped cleanly (64 KiB)"
ktest_check "64 KiB .syx to --port \"Ostrel Kelva\" (the client's name): accepted" check_update single 0 completed "$accepted"
ktest_check "64 KiB .syx: the device received it byte-identical" same_bytes "$data/single-64k.syx" "$work/single.rec"

# ---- the same 1 MiB as one portion, timed for the comparison with amidi ----------------------------
runs=${KTEST_TIMED_RUNS:-3}
size=$(stat -c %s "$data/all-1m.syx")
total_ms=0
sim_start timed "$work/timed.rec" --sim-busy 0
for run in $(seq 1 "$runs"); do
    update_start "timed$run" "$data/all-1m.syx" --port "Ostrel Kelva"
    update_wait "timed$run" > /dev/null
    ms=$(ms_between "timed$run" "Looking for" "Checking update status...")
    check_update "timed$run" 0 completed "$accepted" || ktest_fail "1 MiB .syx run $run accepted"
    echo "midi-updater-cli run $run: ${ms:-?} ms from looking for the device to the end of the delivery"
    total_ms=$((total_ms + ${ms:-0}))
done
sim_stop
identical=0
for run in $(seq 1 "$runs"); do
    cmp -s -n "$size" -i "$(((run - 1) * size)):0" "$work/timed.rec" "$data/all-1m.syx" && identical=$((identical + 1))
done
[ "$(stat -c %s "$work/timed.rec")" -eq $((runs * size)) ] || identical=0
mean=$((total_ms / runs))
echo "FIGURE: midi-updater-cli update: $identical of $runs runs byte-identical; $size bytes in mean $mean ms; $(((size * 1000 / (mean > 0 ? mean : 1)) / 1024)) KiB/s"
ktest_check "1 MiB .syx in one portion: byte-identical in $identical of $runs runs" test "$identical" -eq "$runs"

# ---- unplugged after the first portion, replugged 20 s later ---------------------------------------
sim_start replug-1 "$work/replug-1.rec"
update_start replug "$data/kelva-unplug.upd"
if wait_event replug "Device has accepted update." 120; then
    ktest_log "portion 1 accepted: unplugging"
    unplugged=${EPOCHREALTIME/./}
    gadget_unplug || ktest_fail "unplug"
    sim_stop || ktest_fail "the simulated device stopped cleanly after the unplug"
    while [ $(((${EPOCHREALTIME/./} - unplugged) / 1000000)) -lt 20 ]; do sleep 0.5; done
    ktest_log "replugging"
    gadget_plug_held || ktest_fail "replug"
    sim_start replug-2 "$work/replug-2.rec" || ktest_fail "the simulated device did not open the device end after the replug"
    gadget_release || ktest_fail "release of the replug"
    update_wait replug > /dev/null
    sim_stop || ktest_fail "the simulated device stopped cleanly after the replug"
    ktest_check "unplugged after portion 1 and replugged 20 s later: the update retried" grep -q "Retrying" "$work/replug.json"
    ktest_check "unplugged after portion 1 and replugged 20 s later: accepted" check_update replug 0 completed "$accepted"
    ktest_check "before the unplug the device received portion 1 byte-identical" same_bytes "$data/p1.syx" "$work/replug-1.rec"
    ktest_check "after the replug the device received portions 2 to 4 byte-identical" same_bytes "$work/portions-2-4" "$work/replug-2.rec"
else
    ktest_fail "unplug test: portion 1 was never accepted"
    kill "$update_pid_replug" 2> /dev/null
    sim_stop
fi

# ---- unplugged for good (its retries take over a minute: the software client runs meanwhile) ---
if [ -z "$(seq_client_number "$GADGET_PRODUCT")" ]; then gadget_up; fi
sim_start gone "$work/gone.rec"
update_start gone "$data/kelva-unplug.upd"
if wait_event gone "Device has accepted update." 120; then
    gadget_unplug || ktest_fail "unplug"
    sim_stop || ktest_fail "the simulated device stopped cleanly after the unplug"
    gone_started=1
else
    ktest_fail "unplugged-for-good test: portion 1 was never accepted"
    kill "$update_pid_gone" 2> /dev/null
    sim_stop
    gone_started=0
fi

# ---- a software client: the simulator as an ALSA sequencer client --------------------------------------
env --default-signal=INT,TERM "$cli" simulate --sim-name "Kelva Software" --sim-record "$work/soft.rec" \
    > "$work/soft.sim.log" 2>&1 &
sim_pid=$!
sim_log=$work/soft.sim.log
if wait_seq_client "Kelva Software" 20; then
    update_start soft "$data/chunked-16k.syx" --port "Kelva Software"
    update_wait soft > /dev/null
    sim_stop || ktest_fail "the software simulator stopped cleanly"
    ktest_check "software client: 1 MiB portion of 16 KiB messages accepted" check_update soft 0 completed "$accepted"
    ktest_check "software client: received byte-identical" same_bytes "$data/chunked-16k.syx" "$work/soft.rec"
else
    ktest_fail "the simulator did not appear as sequencer client \"Kelva Software\""
    cat /proc/asound/seq/clients
    sim_stop
fi

if [ "$gone_started" = 1 ]; then
    update_wait gone > /dev/null
    status=$(cat "$work/gone.rc")
    ktest_check "unplugged for good: no hang (ended before its time-out)" test "$status" != 124
    ktest_check "unplugged for good: no crash (exit status $status)" test "$status" -lt 128
    ktest_check "unplugged for good: the error verdict, exit 1" check_update gone 1 error "There was an error sending the update file."
    ktest_check "unplugged for good: portion 1 arrived byte-identical before" same_bytes "$data/p1.syx" "$work/gone.rec"
fi

# ---- status --watch: the device unplugged and plugged in again, three times ----------------------
# `status --watch --json` prints the device's state each time it changes, as the sequencer announces
# the change; each unplug and each replug must show within 1 s. The simulated device on the gadget's
# end answers the identity request that a device showing up is asked.
# status_seen SINCE_US TEXT TIMEOUT_S: the stamp of the first line of status --watch at or after
# SINCE_US that holds TEXT, once there is one; fails after the time-out.
status_seen() { stamped_line_seen "$work/status.json" "$@"; }
within_1s() { [ -n "$1" ] && [ "$1" -le 1000 ]; }
if "$cli" status --help > /dev/null 2>&1; then
    if [ -z "$(seq_client_number "$GADGET_PRODUCT")" ]; then gadget_up || ktest_fail "the gadget is up again"; fi
    sim_start status-0 "$work/status-0.rec" || ktest_fail "the simulated device opened the device end"
    connected='"connected":true,"port":"Ostrel Kelva MIDI 1","usb":true'
    mkfifo "$work/status.fifo"
    stamp < "$work/status.fifo" > "$work/status.json" &
    stamp_pid=$!
    env --default-signal=INT,TERM "$cli" status --watch --json > "$work/status.fifo" 2> "$work/status.err" &
    status_pid=$!
    ktest_check "status --watch: connected at the start" status_seen 0 "$connected" 30 > /dev/null
    for round in 1 2 3; do
        unplugged=${EPOCHREALTIME/./}
        echo "" > "$GADGET_DIR/UDC" || ktest_fail "unplug $round"
        unbound=${EPOCHREALTIME/./}
        gone=$(status_seen "$unplugged" '"connected":false' 10)
        wait_seq_client_gone "$GADGET_PRODUCT" 30 || ktest_fail "the device's client went after unplug $round"
        sim_stop || ktest_fail "the simulated device stopped cleanly after unplug $round"
        gadget_plug_held || ktest_fail "replug $round"
        sim_start "status-$round" "$work/status-$round.rec" || ktest_fail "the simulated device opened the device end"
        # The gadget's end passes on what arrives only once its reader has first waited for input
        # (f_midi drops it until the input is triggered); status asks for the identity within
        # milliseconds of the device showing up.
        sleep 0.5
        released=${EPOCHREALTIME/./}
        gadget_release || ktest_fail "release of replug $round"
        back=$(status_seen "$released" "$connected" 10)
        gone_ms=$([ -n "$gone" ] && echo $(((gone - unplugged) / 1000)))
        back_ms=$([ -n "$back" ] && echo $(((back - released) / 1000)))
        echo "FIGURE: status --watch: unplug $round shown after ${gone_ms:-(never)} ms (the unbind took $(((unbound - unplugged) / 1000)) ms); replug shown ${back_ms:-(never)} ms after the host was let see it"
        ktest_check "status --watch: unplug $round shown within 1 s (${gone_ms:-never} ms)" within_1s "$gone_ms"
        ktest_check "status --watch: replug $round shown within 1 s, connected over USB (${back_ms:-never} ms)" \
            within_1s "$back_ms"
    done
    kill -INT "$status_pid"
    for _ in $(seq 1 50); do
        kill -0 "$status_pid" 2> /dev/null || break
        sleep 0.1
    done
    if kill -0 "$status_pid" 2> /dev/null; then
        echo "  status --watch still runs 5 s after SIGINT; its threads:"
        show_threads "$status_pid"
        tail -n 8 "$work/status.err" | sed 's/^/    /'
        kill -KILL "$status_pid"
    fi
    wait "$status_pid"
    status=$?
    wait "$stamp_pid"
    ktest_check "status --watch: ends with Ctrl-C, exit 130 (got $status)" test "$status" = 130
    sim_stop || ktest_fail "the simulated device stopped cleanly after the status runs"
    ktest_check "status --watch: one line per change (connected, then 3 x not connected and connected again)" \
        test "$(cut -d' ' -f2- "$work/status.json" | uniq | wc -l)" -eq 7 -a "$(wc -l < "$work/status.json")" -eq 7
    sed 's/^/  /' "$work/status.json"
else
    echo "SKIPPED: status --watch kernel test: $cli has no 'status' command"
fi

dmesg | grep -i -E 'overrun|oops|BUG|WARNING' | tail -n 20 || true
ktest_summary
