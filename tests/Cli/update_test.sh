#!/usr/bin/env bash
# midi-updater-cli update and video-mode against the simulated Kelva (--simulate): the JSON event
# stream, the verdicts and exit statuses, rejected files, --port, the video-mode bytes, a run that
# never waits for input, and Ctrl-C in the middle of an update.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ACCEPTED="The 'Ostrel Kelva' was updated sucessfully to version 1.05."
ERROR_VERDICT="There was an error sending the update file.
Please restart the device and try again."

# A portion of four 1024-byte SysEx messages with no 0A byte: two chunks of 2048 bytes.
python3 - "$WORK/four.syx" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for m in range(4):
        f.write(bytes([0xF0, 0x00, 0x00, 0x0E]) + bytes(0x10 + (m + i) % 0x50 for i in range(1019)) + b"\xF7")
PY
"$CLI" pack -o "$WORK/one.upd" --product "Ostrel Kelva" --version 1.05 --message "Keep it plugged in." \
    --mac-ports 'Ostrel Kelva$Ostrel Dramlin' --portion "$WORK/four.syx@0"
"$CLI" pack -o "$WORK/elsewhere.upd" --product "Ostrel Kelva" --version 1.05 \
    --mac-ports 'Some Other Device' --portion "$WORK/four.syx@0"

# events: the last run's JSON lines as one short line each.
events() {
    jq -r 'if .event == "progress" then "progress \(.value)"
           elif .event == "status" or .event == "error" or .event == "completed" then "\(.event): \(.text)"
           else .event end' "$WORK/stdout"
}

# --- The JSON stream of a one-portion update that the device accepts, in the job's order ---
run update --simulate --json --sim-busy 0 "$WORK/one.upd" </dev/null
expect_status "accepted --json" 0
expect_json "loaded event" 'select(.event == "loaded") | [.productName, .version, .message, .portions]' \
    '["Ostrel Kelva","1.05","Keep it plugged in.",[{"size":4096,"delay":0}]]'
expect_eq "loaded event matches inspect --json" \
    "$("$CLI" inspect --json "$WORK/one.upd" | jq -c '{event: "loaded"} + .')" "$(head -n 1 "$WORK/stdout")"
expect_file_text "accepted event order" <(events) "loaded
busy
status: Updating...
progress 0
busy
status: Started update
status: Looking for Ostrel Kelva to update...
busy
busy
status: Sent 0 bytes of 4.0KB
progress 0.5
status: Sent 2.0KB of 4.0KB
progress 1
status: Sent 4.0KB of 4.0KB
status: Checking update status...
busy
status: Device has accepted update.
progress 1
progress 1
status: MIDI update sent successfully.
completed: $ACCEPTED"
expect_empty "accepted --json stderr" "$WORK/stderr"

# With busy answers the wait shows its own status once.
run update --simulate --json --sim-busy 2 "$WORK/one.upd" </dev/null
expect_status "busy then accepted" 0
expect_eq "busy status shown once" 1 "$(events | grep -c '^status: Waiting for device to complete update installation...$')"

# --- Plain output, not a terminal: product, version, note, status lines, verdict; never asks ---
set +e
# Standard input is a pipe whose writer stays open and silent: a run that read it would hang.
mkfifo "$WORK/input"
(exec sleep 30) >"$WORK/input" 2>/dev/null &
writer=$!
timeout 20 "$CLI" update --simulate --sim-busy 0 "$WORK/one.upd" <"$WORK/input" >"$WORK/stdout" 2>"$WORK/stderr"
STATUS=$?
kill "$writer" 2>/dev/null || true
set -e
expect_status "standard input an open pipe: starts at once" 0
expect_contains "plain: product" "$WORK/stdout" "Product: Ostrel Kelva"
expect_contains "plain: version" "$WORK/stdout" "Version: 1.05"
expect_contains "plain: note" "$WORK/stdout" "Keep it plugged in."
CHECKS=$((CHECKS + 1))
if grep -q "Start update" "$WORK/stdout" "$WORK/stderr"; then fail "a non-terminal run asked the question"; fi
expect_eq "plain: last line is the verdict" "$ACCEPTED" "$(tail -n 1 "$WORK/stdout")"
expect_contains "plain: the portion's last chunk line" "$WORK/stdout" "Sent 4.0KB of 4.0KB"
CHECKS=$((CHECKS + 1))
if grep -q "Sent 2.0KB of 4.0KB" "$WORK/stdout"; then fail "plain output shows every chunk"; fi
expect_empty "plain: no trace without --verbose" "$WORK/stderr"

run update --simulate --verbose --sim-busy 0 "$WORK/one.upd" </dev/null
expect_contains "--verbose: the summary" "$WORK/stderr" "Total SysEx:    4096 bytes"
expect_contains "--verbose: the trace" "$WORK/stderr" "Trace: Send(update,sender,progress)"

# --- Error verdicts: exit 1 ---
run update --simulate --json --sim-busy 0 --sim-reply error "$WORK/one.upd" </dev/null
expect_status "error reply" 1
expect_json "error reply: the last event" '[inputs] | last' \
    "$(jq -cn --arg t "$ERROR_VERDICT" '{event: "error", text: $t}')"
run update --simulate --sim-busy 0 --sim-reply error "$WORK/one.upd" </dev/null
expect_status "error reply, plain" 1
expect_eq "error reply, plain: verdict on stderr" "$ERROR_VERDICT" "$(tail -n 2 "$WORK/stderr")"

# An absent device: six attempts of about 15 s each, run 300 times faster than real time.
start=$(date +%s%N)
run update --simulate --json --sim-absent-for 3600 --sim-clock-speed 300 "$WORK/one.upd" </dev/null
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
expect_status "absent device" 1
expect_json "absent device: the last event" '[inputs] | last' \
    "$(jq -cn --arg t "$ERROR_VERDICT" '{event: "error", text: $t}')"
expect_eq "absent device: one Looking-for line, no retry line for the first portion" \
    "1 0" "$(events | grep -c 'Looking for') $(events | grep -c 'Retrying' || true)"
CHECKS=$((CHECKS + 1))
[ "$elapsed_ms" -lt 5000 ] || fail "the absent-device run took $elapsed_ms ms"

# --- A file the reader rejects: exit 1 and the reader's text ---
printf 'OrvoUpdateFilf\x04\x00' >"$WORK/bad.upd"
run update --simulate "$WORK/bad.upd" </dev/null
expect_status "bad file" 1
expect_file_text "bad file: stderr" "$WORK/stderr" "Update failed for reason:
Update file was invalid (bad header)."
run update --simulate --json "$WORK/bad.upd" </dev/null
expect_status "bad file --json" 1
expect_json "bad file --json: the only event" '.' \
    "$(jq -cn '{event: "error", text: "Update failed for reason:\nUpdate file was invalid (bad header)."}')"

# --- --port replaces the file's names ---
run update --simulate --json --sim-busy 0 --sim-name "Bench Kelva" --port "Bench Kelva" \
    --sim-record "$WORK/port.bin" "$WORK/elsewhere.upd" </dev/null
expect_status "--port finds the device the file does not name" 0
expect_same_bytes "--port: the device received the portion" "$WORK/four.syx" "$WORK/port.bin"
run update --simulate --json --sim-busy 0 --sim-name "Bench Kelva" --sim-clock-speed 300 "$WORK/elsewhere.upd" \
    </dev/null
expect_status "without --port the file's names do not find it" 1
run update --simulate --json --sim-busy 0 --port "Ostrel Kelva" --port "Bench Kelva" --sim-clock-speed 300 \
    --sim-record "$WORK/two-ports.bin" "$WORK/elsewhere.upd" </dev/null
expect_status "--port twice: either name serves" 0

# --- video-mode: the bytes the device received ---
for mode in 0 1; do
    run video-mode "$mode" --simulate --sim-busy 0 --sim-record "$WORK/video$mode.bin" </dev/null
    expect_status "video-mode $mode" 0
    expected=$([ "$mode" = 0 ] && echo 01 || echo 00)
    expect_eq "video-mode $mode bytes" "f000000e0033630001${expected}f7" "$(od -An -tx1 -v "$WORK/video$mode.bin" | tr -d ' \n')"
done
run video-mode 1 --simulate --json --sim-busy 0 </dev/null
expect_status "video-mode --json" 0
expect_eq "video-mode --json: the statuses before Send's" "Updating...|Updating Video Mode|Started update" \
    "$(events | grep '^status: ' | head -n 3 | sed 's/^status: //' | paste -sd '|')"
expect_json "video-mode --json: port names" 'select(.event == "loaded") | .macPortNames' '["Ostrel Dramlin","Ostrel Kelva"]'
run video-mode 2 --simulate </dev/null
expect_status "video-mode 2 is a usage error" 2

# --- No MIDI service: exit 1 with the reason ---
run update --simulate --sim-version 1.5 "$WORK/one.upd" </dev/null
expect_status "a version that is not X.YY" 1
expect_contains "the version's reason" "$WORK/stderr" "is not a version X.YY"

# --- Ctrl-C in the middle of an update: exit 130, the port released, the record written ---
"$CLI" update --simulate --verbose --sim-rate 50000 --sim-record "$WORK/interrupted.bin" \
    "$EXAMPLES/kelva-demo.upd" </dev/null >"$WORK/stdout" 2>"$WORK/stderr" &
pid=$!
for _ in $(seq 100); do
    grep -q "Looking for" "$WORK/stdout" 2>/dev/null && break
    sleep 0.05
done
sleep 0.3
kill -INT "$pid"
set +e
wait "$pid"
STATUS=$?
set -e
expect_status "Ctrl-C" 130
expect_contains "Ctrl-C: the message" "$WORK/stderr" "the update was interrupted"
expect_contains "Ctrl-C: the port was destroyed" "$WORK/stderr" "~CoreMidiPort"
expect_contains "Ctrl-C: nothing left connected" "$WORK/stderr" \
    "Simulated MIDI service at the end: 0 open connections, 0 ports, 0 clients"
CHECKS=$((CHECKS + 1))
received=$(wc -c <"$WORK/interrupted.bin")
[ "$received" -gt 0 ] && [ "$received" -lt 294912 ] || fail "Ctrl-C: the device received $received bytes"
CHECKS=$((CHECKS + 1))
if grep -q "sucessfully" "$WORK/stdout"; then fail "Ctrl-C: a verdict was shown"; fi

finish
