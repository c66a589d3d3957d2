#!/usr/bin/env bash
# midi-updater-cli update, video-mode, status and list against the simulated Kelva (--simulate).
# Catches: a wrong JSON event stream or plain output (lines, which chunk lines, where the verdict
# goes), wrong exit statuses, --port not used, wrong video-mode bytes, wrong status or list output,
# a run that waits for input, Ctrl-C not ending the update cleanly.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ACCEPTED="The 'Ostrel Kelva' was updated sucessfully to version 1.05."
# A portion of four 1024-byte SysEx messages with no 0A byte: two chunks of 2048 bytes.
python3 -c 'import sys; sys.stdout.buffer.write(b"".join(b"\xF0\x00\x00\x0E" + bytes(0x10 + (m + i) % 0x50 for i in range(1019)) + b"\xF7" for m in range(4)))' >four.syx
"$CLI" pack -o one.upd --product "Ostrel Kelva" --version 1.05 --message "Keep it plugged in." \
    --mac-ports 'Ostrel Kelva$Ostrel Dramlin' --portion four.syx
"$CLI" pack -o elsewhere.upd --product "Ostrel Kelva" --version 1.05 --mac-ports 'Other' --portion four.syx
printf 'OrvoUpdateFilf\x04\x00' >bad.upd

# JSON: the loaded event is inspect's object; the verdict the last event (the statuses between are the
# library's, the objects the JSON sink's).
run update --simulate --json --sim-busy 0 one.upd </dev/null
expect_eq "update --json" "$("$CLI" inspect --json one.upd | jq -c '{event: "loaded"} + .')
{\"event\":\"status\",\"text\":\"MIDI update sent successfully.\"}
{\"event\":\"completed\",\"text\":\"$ACCEPTED\"}|0|" "$(head -n 1 "$WORK/stdout")
$(tail -n 2 "$WORK/stdout")|$STATUS|$(cat "$WORK/stderr")"

# Plain: starts at once (standard input not a terminal), never asks.
run update --simulate --sim-busy 0 one.upd </dev/null
expect_eq "update, plain: product, version, note, one line per portion, the verdict last" "0|Product: Ostrel Kelva
Version: 1.05
Important note about this update:
Keep it plugged in.
Updating...
Started update
Looking for Ostrel Kelva to update...
Sent 4.0KB of 4.0KB
Checking update status...
Device has accepted update.
MIDI update sent successfully.
$ACCEPTED|" "$STATUS|$(cat "$WORK/stdout")|$(cat "$WORK/stderr")"

# --port replaces the file's names; the device records what it received; --verbose traces on stderr.
run update --simulate --verbose --sim-busy 0 --sim-name "Bench Kelva" --port "Bench Kelva" --sim-record port.bin \
    elsewhere.upd </dev/null
expect_eq "--port finds the device the file does not name; --verbose: the trace on stderr" "|1" \
    "$(cmp four.syx port.bin 2>&1)|$(grep -cF "Trace: Send(update,sender,progress)" "$WORK/stderr")"
run video-mode 0 --simulate --sim-busy 0 --sim-record video0.bin </dev/null
run video-mode 1 --simulate --sim-busy 0 --sim-record video1.bin </dev/null
expect_eq "video-mode 0 and 1: the bytes" "f000000e003363000101f7f000000e003363000100f7" "$(cat video0.bin video1.bin | xxd -p)"

# Exit statuses, what standard output says first and standard error last, one row each.
while IFS='|' read -r status case args output err; do
    eval "run $args" </dev/null
    expect_eq "$case" "$status|$output|$err" "$STATUS|$(head -n 1 "$WORK/stdout")|$(grep -v "^20[0-9-]* [0-9:.]* midi-updater-cli\[" "$WORK/stderr" | tail -n 1)"
done <<'TABLE'
1|update: the device refuses|update --simulate --sim-busy 0 --sim-reply error one.upd|Product: Ostrel Kelva|Please restart the device and try again.
1|update --json: a rejected file|update --simulate --json bad.upd|{"event":"error","text":"Update failed for reason:\nUpdate file was invalid (bad header)."}|
1|update: no MIDI service (a version not X.YY)|update --simulate --sim-version 1.5 one.upd|Product: Ostrel Kelva|midi-updater-cli: --sim-version: "1.5" is not a version X.YY
1|update: without --port the file's names do not find it|update --simulate --sim-name Bench --sim-clock-speed 300 elsewhere.upd|Product: Ostrel Kelva|Please restart the device and try again.
2|video-mode 2|video-mode 2 --simulate||Run with --help for more information.
2|--sim-* without --simulate|list --sim-name X||Run with --help for more information.
0|status: connected|status --simulate --sim-version 1.04|Device: Ostrel Kelva (USB) - connected, firmware 1.04
0|status --json|status --simulate --json --sim-name Kelva --port Kelva|{"connected":true,"port":"Kelva","usb":true,"firmware":"1.00"}
0|status: no source, no version|status --simulate --json --sim-no-source|{"connected":true,"port":"Ostrel Kelva","usb":true,"firmware":null}
1|status: another name|status --simulate --port Dramlin|Device: not connected - connect it and put it into update mode
1|status --json: not there yet|status --simulate --json --sim-absent-for 60 --sim-clock-speed 100|{"connected":false,"port":null,"usb":false,"firmware":null}
TABLE

# status --watch: the device (which cannot answer) shows up a second after the start, then Ctrl-C.
interrupt '"connected":true' status --simulate --sim-clock-speed 10 --sim-absent-for 1 --sim-no-source --watch --json
expect_eq "status --watch: one line per change, 130 on Ctrl-C" '130|{"connected":false,"port":null,"usb":false,"firmware":null}
{"connected":true,"port":"Ostrel Kelva","usb":true,"firmware":null}' "$STATUS|$(cat "$WORK/stdout")"

# Ctrl-C in the middle of an update: exit 130, the port released, part of the update received.
interrupt "Looking for" update --simulate --verbose --sim-rate 50000 --sim-record interrupted.bin "$EXAMPLES/kelva-demo.upd"
received=$(wc -c <interrupted.bin)
expect_eq "Ctrl-C: exit 130, the port released, nothing left open, no verdict, part of the update received" \
    "130|2|0|1" "$STATUS|$(grep -c -e "the update was interrupted; the MIDI port has been released" \
    -e "at the end: 0 open connections, 0 ports, 0 clients" "$WORK/stderr")|$(grep -c sucessfully "$WORK/stdout")|$((received > 0 && received < 294912))"

# list: the table, or one JSON object, on stdout.
run list --simulate
expect_eq "list: the table" "Destinations:
  #   Reference   Name          Display name  Offline  USB MIDI device
  0   0xREF  Ostrel Kelva  Ostrel Kelva  no       yes
Sources:
  #   Reference   Name          Display name  Offline  USB MIDI device
  0   0xREF  Ostrel Kelva  Ostrel Kelva  no       yes" "$(sed -E 's/0x[0-9a-f]{8}/0xREF/' "$WORK/stdout")"
run list --simulate --json --sim-name "Ostrel Dramlin" --sim-no-source
expect_eq "list --json" '[[0,"Ostrel Dramlin","Ostrel Dramlin",false,true,"number"]]|[]' \
    "$(jq -c '.destinations | map([.index, .name, .displayName, .offline, .usbMidiDevice, (.ref | type)])' "$WORK/stdout")|$(jq -c .sources "$WORK/stdout")"
