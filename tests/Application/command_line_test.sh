#!/bin/sh
# midi-updater's command line: help without a display, the simulation options, and FILE starting an
# update at once (run offscreen until the window has been captured mid-update).
set -u
app=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # description, then a command that must succeed
    description=$1
    shift
    if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failures=$((failures + 1)); fi
}

env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$app" --help > "$work/help" 2>&1
check "--help needs no display" test $? -eq 0
for option in --simulate --sim-name --sim-reply --sim-rate --sim-absent-for --sim-record; do
    check "--help names $option" grep -q -- "$option" "$work/help"
done

QT_QPA_PLATFORM=offscreen "$app" --sim-rate 5 > "$work/out" 2>&1
check "--sim-rate without --simulate is refused" test $? -ne 0
QT_QPA_PLATFORM=offscreen "$app" --simulate --sim-reply nonsense > "$work/out" 2>&1
check "an unknown --sim-reply is refused" test $? -ne 0

QT_QPA_PLATFORM=offscreen "$app" --simulate --sim-clock-speed 100 --sim-name "Ostrel Dramlin" --screenshot "$work/shot.png" \
    "$examples/kelva-demo.upd" > "$work/log" 2>&1
check "FILE is updated at once against the simulated device" test $? -eq 0
check "the window was captured" test -s "$work/shot.png"
check "the file reached the job" grep -q "Update file: $examples/kelva-demo.upd" "$work/log"
check "the note was answered" grep -q 'Answered "Important note about this update" with "Start update"' "$work/log"
check "the device was found under the --sim-name" grep -q "Name=Ostrel Dramlin:Ostrel Dramlin recognised" "$work/log"

exit $failures
