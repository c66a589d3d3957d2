#!/usr/bin/env bash
# midi-updater-cli pack: the bytes it writes, round trips through inspect and extract, and refusals
# that leave the output untouched.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

cd "$WORK"

# The 36-byte header of product AB, version 1.2, empty message, address 3,4,5, then a portion
# F0 01 F7 with a 250 ms pause: byte for byte.
printf '\xF0\x01\xF7' >f0.syx
run pack -o ab.upd --product AB --version 1.2 --usb-address 3,4,5 --portion f0.syx@250
expect_status "byte layout" 0
expect_eq "byte layout" \
    "$(printf 'OrvoUpdateFile' | xxd -p)0400020000004142010002000000000003000400050001000000030000\
00f001f7fa000000" "$(xxd -p ab.upd | tr -d '\n')"

# Records go in by kind (port names, Windows parameters, portions, images), each kind in the order
# given, whatever the order on the command line.
printf '\xF0\x11\xF7' >a.syx
printf '\xF0\x22\x22\xF7' >b.syx
printf 'img1' >i1.bin
printf 'image2' >i2.bin
run pack --image i1.bin --portion b.syx@7 --win-params 'win:x:ideal:5' --mac-ports 'M1$M2' -o order.upd \
    --portion a.syx --image i2.bin --mac-ports 'M3' --win-params 'win:y:max:6' --product P --version 2.30 \
    --message hello
expect_status "record order" 0
{
    header P 2 30 hello 0 0 0
    u32 5; str 'M1$M2'; u32 5; str M3
    u32 3; str 'win:x:ideal:5'; u32 3; str 'win:y:max:6'
    u32 1; u32 4; cat b.syx; u32 7
    u32 1; u32 3; cat a.syx; u32 0
    u32 2; u32 4; cat i1.bin; u32 2; u32 6; cat i2.bin
} >order-expected.upd
expect_same_bytes "record order" order-expected.upd order.upd

# Round trip: what inspect and extract give back is what went in.
head -c 3000 /dev/zero | tr '\0' '\x55' >body
{ printf '\xF0'; cat body; printf '\xF7\x0A\xF0\x00\xF7'; } >big.syx
printf '\xF0\x7E\x7F\x06\x01\xF7' >small.syx
head -c 70000 /dev/urandom >firmware.bin
run pack -o round.upd --product "Ostrel Kelva" --version 1.5 --message "Note line" \
    --usb-address 65535,0,4660 --mac-ports 'Zeta$Alpha' --mac-ports 'Mid$$Alpha$' \
    --win-params 'win:any:name:W2$W1:ideal:512:max:2048:delay:50:unprepdelay:20:chunks:no' \
    --portion small.syx@4294967295 --portion big.syx --portion small.syx@0 --portion big.syx@1000 \
    --image firmware.bin
expect_status "round trip, pack" 0
expect_empty "round trip, pack: stdout" "$WORK/stdout"
run inspect --json round.upd
expect_status "round trip, inspect" 0
expect_json "round trip, inspect" '.' '{"kind":"update","productName":"Ostrel Kelva","message":"Note line","version":"1.05","versionNumbers":[1,5],"usbAddress":[65535,0,4660],"macPortNames":["Alpha","Mid","Zeta"],"windowsParameters":{"names":["W1","W2"],"ideal":512,"max":2048,"delay":50,"unprepDelay":20,"chunks":false},"imageSize":70000,"portions":[{"size":6,"delay":4294967295},{"size":3006,"delay":0},{"size":6,"delay":0},{"size":3006,"delay":1000}],"totalSysExSize":6024}'
n=0
for source in small.syx big.syx small.syx big.syx; do
    n=$((n + 1))
    run extract round.upd --portion "$n" -o "back$n"
    expect_same_bytes "round trip, portion $n" "$source" "back$n"
done
run extract round.upd --image -o back-image
expect_same_bytes "round trip, image" firmware.bin back-image

# "<sysex>" is the standard note; no --message is an empty note; no --mac-ports leaves the product name.
run pack -o note.upd --product "Ostrel Kelva" --version 0.0 --message '<sysex>'
expect_status "<sysex> note" 0
run inspect --json note.upd
expect_eq "<sysex> note" "$(jq -cn --arg m "$SYSEX_NOTE" '$m')" "$(json "<sysex> note" '.message')"
expect_json "defaults" '[.version, .usbAddress, .macPortNames, .windowsParameters.names, .portions, .imageSize]' \
    '["0.00",[0,0,0],["Ostrel Kelva"],["Ostrel Kelva"],[],0]'
run pack -o plain.upd --product K --version 65535.65535
run inspect --json plain.upd
expect_json "no message, top version" '[.message, .version, .versionNumbers]' '["","65535.65535",[65535,65535]]'
run pack -o v.upd --product K --version 12.345
run inspect --json v.upd
expect_json "three-digit minor" '.version' '"12.345"'

# -o - writes the same bytes to standard output.
run pack -o - --product AB --version 1.2 --usb-address 3,4,5 --portion f0.syx@250
expect_status "pack to stdout" 0
expect_same_bytes "pack to stdout" ab.upd "$WORK/stdout"

# Refusals: exit 2, a message that names the problem, no output file, and an existing output keeps
# its content; no temporary file is left beside it. Each case gives its own --version.
printf '\x01\x02\x03' >not-sysex.syx
printf '\xF0\x01\x02' >no-end.syx
printf '\xF0\x01\xF7\x0A' >newline-after.syx
: >empty.syx
mkdir folder
expect_refused() {
    local case=$1 needle=$2
    shift 2
    rm -f out.upd
    run pack -o out.upd --product K "$@"
    expect_status "refused, $case" 2
    expect_contains "refused, $case: message" "$WORK/stderr" "$needle"
    expect_empty "refused, $case: stdout" "$WORK/stdout"
    CHECKS=$((CHECKS + 1))
    [ ! -e out.upd ] || fail "refused, $case: out.upd was written"
    printf 'old content' >out.upd
    run pack -o out.upd --product K "$@"
    expect_status "refused over an existing file, $case" 2
    expect_eq "refused, $case: existing output kept" "old content" "$(cat out.upd)"
    expect_eq "refused, $case: nothing left beside it" "out.upd" "$(ls out.upd*)"
    rm -f out.upd
}
expect_refused "portion not SysEx" "not-sysex.syx" --portion a.syx --portion not-sysex.syx --version 1.0
expect_refused "portion without F7" "no-end.syx" --portion no-end.syx@100 --version 1.0
expect_refused "portion with a byte after F7" "newline-after.syx" --portion newline-after.syx --version 1.0
expect_refused "empty portion" "empty.syx" --portion empty.syx --version 1.0
expect_refused "missing portion" "missing.syx" --portion missing.syx@5 --version 1.0
expect_refused "portion is a folder" "folder" --portion folder --version 1.0
expect_refused "missing image" "missing.bin" --portion a.syx --image missing.bin --version 1.0
expect_refused "delay too large for 32 bits" "a.syx@4294967296" --portion a.syx@4294967296 --version 1.0
expect_refused "win params not starting with win:" "WIN:x:ideal:5" --win-params 'WIN:x:ideal:5' --version 1.0
for version in 1 1.x 70000.1 1.65536 "" 1. .5 -1.5 1.5.0 "1,5" " 1.5" 0x1.2; do
    expect_refused "version '$version'" "'$version'" --version "$version"
done
for address in 1,2 1,2,3,4 1,2,x 1,2,65536 1,,3 "1,2,3," -1,2,3 ,1,2; do
    expect_refused "usb address '$address'" "'$address'" --usb-address "$address" --version 1.0
done

# An output that cannot be written: exit 1, a message naming it.
run pack -o missing-dir/out.upd --product K --version 1.0
expect_status "output in a missing folder" 1
expect_contains "output in a missing folder" "$WORK/stderr" "missing-dir/out.upd"
run pack -o folder --product K --version 1.0
expect_status "output is a folder" 1
expect_eq "output is a folder: nothing left beside it" "folder" "$(ls -d folder*)"

finish
