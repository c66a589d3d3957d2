#!/usr/bin/env bash
# The window's device line against the kernel's USB MIDI stack, inside the kernel-test VM: the
# window runs headless (Qt's offscreen platform) on the system's ALSA sequencer while the USB gadget
# is unplugged and plugged in again; each change must show in the line within 1 s. The line is read
# from the window's log, where it is written each time it changes; the simulated device on the
# gadget's end answers the identity request that a device showing up is asked.
# usage: window-tests.sh CLI DATA_DIR   (the window is the build's Source/Application/midi-updater)
source "$(dirname "$0")/../../tools/kernel-vm/lib.sh"
cli=$1
app=$(cd "$(dirname "$cli")/.." && pwd)/Application/midi-updater
work=$(mktemp -d)

if [ ! -x "$app" ] || ! grep -q -a "Device: not connected" "$app"; then
    echo "SKIPPED: window kernel tests: no window with a device line at $app"
    exit 77
fi

# shown STAMP MS: "MS ms", or "never" when nothing was shown.
shown() { if [ -n "$1" ]; then echo "$2 ms"; else echo never; fi; }
# line_seen SINCE_US TEXT TIMEOUT_S: the stamp of the first window log line at or after SINCE_US that
# holds TEXT, once there is one; fails after the time-out.
line_seen() { stamped_line_seen "$work/window.log" "$@"; }

if [ -z "$(seq_client_number "$GADGET_PRODUCT")" ]; then
    ktest_check "the gadget is up" gadget_up
fi
sim_start window-0 "$work/window-0.rec" --sim-version 1.04 || ktest_fail "the simulated device opened the device end"
connected="Device: Ostrel Kelva MIDI 1 (USB) - connected, firmware 1.04"
mkfifo "$work/window.fifo"
stamp < "$work/window.fifo" > "$work/window.log" &
stamp_pid=$!
QT_QPA_PLATFORM=offscreen env --default-signal=INT,TERM "$app" 2> "$work/window.fifo" > /dev/null &
app_pid=$!
first=$(line_seen 0 "$connected" 60)
ktest_check "the window shows the device with the version it reports" test -n "$first"

for round in 1 2; do
    unplugged=${EPOCHREALTIME/./}
    echo "" > "$GADGET_DIR/UDC" || ktest_fail "unplug $round"
    gone=$(line_seen "$unplugged" "Device: not connected - connect it and put it into update mode" 10)
    wait_seq_client_gone "$GADGET_PRODUCT" 30 || ktest_fail "the device's client went after unplug $round"
    sim_stop || ktest_fail "the simulated device stopped cleanly after unplug $round"
    gadget_plug_held || ktest_fail "replug $round"
    sim_start "window-$round" "$work/window-$round.rec" --sim-version 1.04 ||
        ktest_fail "the simulated device opened the device end"
    # The gadget's end passes on what arrives only once its reader has first waited for input; the
    # window asks for the identity within milliseconds of the device showing up.
    sleep 0.5
    released=${EPOCHREALTIME/./}
    gadget_release || ktest_fail "release of replug $round"
    back=$(line_seen "$released" "$connected" 10)
    gone_ms=$(((${gone:-0} - unplugged) / 1000))
    back_ms=$(((${back:-0} - released) / 1000))
    echo "FIGURE: window device line: unplug $round shown $(shown "$gone" "$gone_ms") after the unbind began; replug (with the version asked) shown $(shown "$back" "$back_ms") after the host was let see it"
    ktest_check "window: unplug $round shown within 1 s ($(shown "$gone" "$gone_ms"))" \
        test -n "$gone" -a "$gone_ms" -le 1000
    ktest_check "window: replug $round shown within 1 s, with the version ($(shown "$back" "$back_ms"))" \
        test -n "$back" -a "$back_ms" -le 1000
done

kill -TERM "$app_pid"
wait "$app_pid"
wait "$stamp_pid" # ends with the window's standard error
sim_stop || ktest_fail "the simulated device stopped cleanly"
grep -F "Device:" "$work/window.log" | sed 's/^/  /'
ktest_summary
