#!/usr/bin/env bash
# midi-updater-cli status on the simulated Kelva: the state line or JSON object, the firmware version
# only from a device that answers, the exit status (0 connected, 1 not), and --watch printing each
# change until Ctrl-C (130).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# case | arguments | exit status | standard output
while IFS='|' read -r case args status output; do
    # shellcheck disable=SC2086 # the arguments are words
    run status --simulate --sim-clock-speed 100 $args
    expect_status "$case" "$status"
    expect_file_text "$case" "$WORK/stdout" "$output"
done <<'TABLE'
connected, answers|--sim-version 1.04|0|Device: Ostrel Kelva (USB) - connected, firmware 1.04
as JSON|--json --sim-name Kelva --port Kelva|0|{"connected":true,"port":"Kelva","usb":true,"firmware":"1.00"}
no source: no answer, no version|--json --sim-no-source|0|{"connected":true,"port":"Ostrel Kelva","usb":true,"firmware":null}
another name|--port Dramlin|1|Device: not connected - connect it and put it into update mode
not there yet, as JSON|--json --sim-absent-for 60|1|{"connected":false,"port":null,"usb":false,"firmware":null}
TABLE

# --watch: the device shows up a second (of the run's clock) after the start, then Ctrl-C.
set +e
"$CLI" status --simulate --sim-clock-speed 10 --sim-absent-for 1 --watch --json >"$WORK/stdout" 2>"$WORK/stderr" &
pid=$!
for _ in $(seq 100); do
    [ "$(wc -l <"$WORK/stdout")" -ge 2 ] && break
    sleep 0.05
done
kill -INT "$pid"
wait "$pid"
STATUS=$?
set -e
expect_status "--watch ends with Ctrl-C" 130
expect_file_text "--watch: one line per change" "$WORK/stdout" \
    '{"connected":false,"port":null,"usb":false,"firmware":null}
{"connected":true,"port":"Ostrel Kelva","usb":true,"firmware":"1.00"}'

finish
