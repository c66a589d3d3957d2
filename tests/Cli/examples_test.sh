#!/usr/bin/env bash
# The checked-in example: it inspects as documented, and regenerating it gives the same bytes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

: "${EXAMPLES:?EXAMPLES must name the examples folder}"
demo="$EXAMPLES/kelva-demo.upd"

run inspect "$demo"
expect_status "inspect the demo" 0
expect_file_text "inspect the demo" "$WORK/stdout" "Product name:   Ostrel Kelva
Message:        Firmware 1.05 for the Ostrel Kelva (demo). Keep the device connected until the update has completed.
Image:          4096 bytes
SysEx portions: 3
Mac port names: 2:Ostrel Dramlin
Win port names: 2:Ostrel Dramlin
Port names    : 2
Total SysEx:    294912 bytes
Portion 1: 98304 bytes, delay 1500 ms
Portion 2: 131072 bytes, delay 1000 ms
Portion 3: 65536 bytes, delay 0 ms"
run inspect --json "$demo"
expect_json "demo, json" '[.kind, .productName, .version, .usbAddress, .macPortNames, .portions]' \
    '["update","Ostrel Kelva","1.05",[1,2,3],["Ostrel Dramlin","Ostrel Kelva"],[{"size":98304,"delay":1500},{"size":131072,"delay":1000},{"size":65536,"delay":0}]]'

# Packing again from the checked-in portions gives the checked-in file.
run_script() {
    set +e
    "$@" >"$WORK/stdout" 2>"$WORK/stderr"
    STATUS=$?
    set -e
}
run_script bash "$EXAMPLES/make-examples.sh" "$CLI" "$WORK/regenerated"
expect_status "make-examples.sh" 0
expect_same_bytes "make-examples.sh output" "$demo" "$WORK/regenerated/kelva-demo.upd"

# The portions themselves regenerate byte for byte, and have the shape the device expects:
# messages F0 00 00 0E 00 <7-bit data> F7, with 0A allowed between messages.
if command -v python3 >/dev/null; then
    run_script python3 "$EXAMPLES/make-syx.py" "$WORK/syx"
    expect_status "make-syx.py" 0
    for name in kelva-1.syx kelva-2.syx kelva-3.syx kelva-image.bin; do
        expect_same_bytes "make-syx.py: $name" "$EXAMPLES/$name" "$WORK/syx/$name"
    done
    for name in kelva-1.syx kelva-2.syx kelva-3.syx; do
        CHECKS=$((CHECKS + 1))
        python3 - "$EXAMPLES/$name" <<'PY' || fail "$name does not consist of F0 00 00 0E 00 <7-bit data> F7 messages"
import re, sys
data = open(sys.argv[1], "rb").read()
message = re.compile(rb"\xF0\x00\x00\x0E\x00[\x00-\x7F]+\xF7\x0A?")
pos = 0
while pos < len(data):
    m = message.match(data, pos)
    if not m:
        sys.exit("bad message at offset %d" % pos)
    pos = m.end()
sys.exit(0 if data.endswith(b"\xF7") else "does not end with F7")
PY
    done
else
    fail "python3 is needed to check the example generator (scripts/install-deps.sh installs it)"
fi

finish
