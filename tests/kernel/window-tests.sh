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

[ -n "$(seq_client_number "$GADGET_PRODUCT")" ] || ktest_check "the gadget is up" gadget_up
sim_start window-0 "$work/window-0.rec" --sim-version 1.04 || ktest_fail "the simulated device opened the device end"
connected="Device: Ostrel Kelva MIDI 1 (USB) - connected, firmware 1.04"
stamped_start "$work/window.log" 2 QT_QPA_PLATFORM=offscreen "$app"
ktest_check "the window shows the device with the version it reports" stamped_line_seen "$work/window.log" 0 "$connected" 60
replug_rounds window "$work/window.log" "Device: not connected - connect it and put it into update mode" \
    "$connected" 2 --sim-version 1.04
kill -TERM "$watch_pid"
wait "$watch_pid" "$stamp_pid" # the stamping ends with the window's standard error
sim_stop || ktest_fail "the simulated device stopped cleanly"
grep -F "Device:" "$work/window.log" | sed 's/^/  /'
ktest_summary
