#!/usr/bin/env bash
# The window's device line on the kernel's USB MIDI stack, in the VM: the window runs headless (Qt's
# offscreen platform) on the system's ALSA sequencer while the gadget is unplugged and plugged in again.
# The line is read from the window's log, written each time it changes; the simulated device answers the
# identity request. Catches: an unplug or replug not shown, shown late (over 1 s) or without the version.
# usage: window-tests.sh CLI DATA_DIR   (the window is the build's Source/Application/midi-updater)
source "$(dirname "$0")/../../tools/kernel-vm/lib.sh"
cli=$1
app=$(cd "$(dirname "$cli")/.." && pwd)/Application/midi-updater
work=$(mktemp -d)
[ -x "$app" ] || { echo "SKIPPED: window kernel tests: no window at $app"; exit 77; }
line_seen() { stamped_line_seen "$work/window.log" "$@"; } # SINCE_US TEXT TIMEOUT_S: its stamp

[ -n "$(seq_client_number "$GADGET_PRODUCT")" ] || ktest_check "the gadget is up" gadget_up
sim_start window-0 "$work/window-0.rec" --sim-version 1.04 || ktest_fail "the simulated device opened the device end"
connected="Device: Ostrel Kelva MIDI 1 (USB) - connected, firmware 1.04"
mkfifo "$work/window.fifo"
stamp < "$work/window.fifo" > "$work/window.log" &
stamp_pid=$!
QT_QPA_PLATFORM=offscreen env --default-signal=INT,TERM "$app" 2> "$work/window.fifo" > /dev/null &
app_pid=$!
ktest_check "the window shows the device with the version it reports" line_seen 0 "$connected" 60
for round in 1 2; do
    unplugged=${EPOCHREALTIME/./}
    echo "" > "$GADGET_DIR/UDC" || ktest_fail "unplug $round"
    gone=$(line_seen "$unplugged" "Device: not connected - connect it and put it into update mode" 10)
    wait_seq_client_gone "$GADGET_PRODUCT" 30 || ktest_fail "the device's client went after unplug $round"
    sim_stop || ktest_fail "the simulated device stopped cleanly after unplug $round"
    gadget_plug_held || ktest_fail "replug $round"
    sim_start "window-$round" "$work/window-$round.rec" --sim-version 1.04 || ktest_fail "the device end opened"
    sleep 0.5 # f_midi drops what arrives before the end's reader first waits; the window asks at once
    released=${EPOCHREALTIME/./}
    gadget_release || ktest_fail "release of replug $round"
    back=$(line_seen "$released" "$connected" 10)
    gone_ms=$([ -n "$gone" ] && echo $(((gone - unplugged) / 1000)))
    back_ms=$([ -n "$back" ] && echo $(((back - released) / 1000)))
    echo "FIGURE: window device line: unplug $round shown ${gone_ms:-never} ms after the unbind began; replug (with the version asked) shown ${back_ms:-never} ms after the host was let see it"
    ktest_check "window: unplug $round shown within 1 s" test -n "$gone_ms" -a "${gone_ms:-0}" -le 1000
    ktest_check "window: replug $round shown within 1 s, with the version" test -n "$back_ms" -a "${back_ms:-0}" -le 1000
done
kill -TERM "$app_pid"
wait "$app_pid" "$stamp_pid" # the stamping ends with the window's standard error
sim_stop || ktest_fail "the simulated device stopped cleanly"
grep -F "Device:" "$work/window.log" | sed 's/^/  /'
ktest_summary
