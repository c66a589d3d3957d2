#!/bin/sh
# Catches: midi-updater's --help needing a display or missing a simulation option, bad simulation options
# taken, and FILE not updated at once (run offscreen until the window has been captured mid-update).
set -u
app=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $1"
    failures=$((failures + 1))
}

env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$app" --help > "$work/help" 2>&1 || fail "--help needs no display"
for option in --simulate --sim-name --sim-reply --sim-rate --sim-absent-for --sim-record; do
    grep -q -- "$option" "$work/help" || fail "--help names $option"
done
export QT_QPA_PLATFORM=offscreen
"$app" --sim-rate 5 > "$work/out" 2>&1 && fail "--sim-rate without --simulate is taken"
"$app" --simulate --sim-reply nonsense > "$work/out" 2>&1 && fail "an unknown --sim-reply is taken"
"$app" --simulate --sim-clock-speed 100 --sim-name "Ostrel Dramlin" --screenshot "$work/shot.png" \
    "$examples/kelva-demo.upd" > "$work/log" 2>&1 || fail "FILE is updated at once against the simulated device"
test -s "$work/shot.png" || fail "the window was captured"
grep -q "Name=Ostrel Dramlin:Ostrel Dramlin recognised" "$work/log" || fail "the device is found under the --sim-name"
exit $failures
