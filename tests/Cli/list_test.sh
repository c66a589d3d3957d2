#!/usr/bin/env bash
# midi-updater-cli list on the simulated Kelva: the interface listing on standard error, the table
# (or one JSON object) of destinations and sources on standard output.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

run list --simulate
expect_status "list" 0
expect_contains "listing: counts" "$WORK/stderr" "ListInterfaces: # destinations=1"
expect_contains "listing: the destination's block" "$WORK/stderr" "Name=Ostrel Kelva"
expect_eq "listing ends" "Found all interfaces" "$(tail -n 1 "$WORK/stderr" | sed 's/^.*\] //')"
expect_eq "table: titles" "Destinations:|Sources:" "$(grep -E '^[A-Z]' "$WORK/stdout" | paste -sd '|')"
expect_eq "table: two rows naming the USB device" 2 "$(grep -cE '^  0 +0x[0-9a-f]{8}  Ostrel Kelva +Ostrel Kelva +no +yes$' "$WORK/stdout")"

run list --simulate --json --sim-name "Ostrel Dramlin" --sim-no-source
expect_status "list --json" 0
expect_json "json: destinations" '.destinations | map([.index, .name, .displayName, .offline, .usbMidiDevice])' \
    '[[0,"Ostrel Dramlin","Ostrel Dramlin",false,true]]'
expect_json "json: no source" '.sources' '[]'
expect_json "json: references are numbers" '.destinations[0].ref | type' '"number"'

run list --simulate --sim-absent-for 60
expect_status "list, device not there yet" 0
expect_eq "table: nothing" "  (none)|  (none)" "$(grep -F '(none)' "$WORK/stdout" | paste -sd '|')"

run list --sim-name X
expect_status "--sim-* without --simulate is a usage error" 2

finish
