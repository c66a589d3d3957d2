#!/bin/sh
# Catches: midi-updater's --help needing a display or missing a simulation option, bad simulation options
# taken, and FILE not updated at once (run offscreen until the window has been captured mid-update).
# $1: midi-updater, $2: the examples folder. CTest runs it offscreen (QT_QPA_PLATFORM); the first check
# that fails ends it (traced by -x).
set -eux
app=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$app" --help > "$work/help" 2>&1
for option in --simulate --sim-name --sim-reply --sim-rate --sim-absent-for --sim-record; do
    grep -q -- "$option" "$work/help"
done
"$app" --sim-rate 5 > "$work/out" 2>&1 && exit 1 # --sim-* without --simulate
"$app" --simulate --sim-reply nonsense > "$work/out" 2>&1 && exit 1
# FILE is updated at once against the simulated device, found under its --sim-name; the window captured.
"$app" --simulate --sim-clock-speed 100 --sim-name "Ostrel Dramlin" --screenshot "$work/shot.png" \
    "$2/kelva-demo.upd" > "$work/log" 2>&1
test -s "$work/shot.png"
grep -q "Name=Ostrel Dramlin:Ostrel Dramlin recognised" "$work/log"
