#!/usr/bin/env bash
# midi-updater-cli on files: inspect (text, JSON, one error each), extract's bytes, pack's bytes and
# refusals, the exit statuses, --help and --version, the checked-in example regenerated.
# Catches: wrong summary lines or JSON keys, wrong bytes extracted or packed (record order, bounds),
# a half-written or lost output, temporary files left behind, wrong exit statuses or help texts.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$WORK"

# An update file with every record kind: port names, Windows parameters, two portions, two images.
printf '\xF0\x01\x02\xF7' >p1
printf '\xF0\x03\x04\x0A\x06\xF7' >p2
{
    header "Ostrel Kelva" 1 5 "Fixes the tempo LED." 1 2 3
    u32 5; str 'Ostrel Kelva$Ostrel Dramlin'
    u32 2; str 'ABCDE'
    u32 3; str 'win:any:name:Zed$Alpha:ideal:512:chunks:no'
    u32 1; u32 4; cat p1; u32 250
    u32 1; u32 6; cat p2; u32 0
    u32 2; str 'xyz'
} >full.upd
run inspect full.upd
expect_eq "inspect, text" "0|Product name:   Ostrel Kelva
Message:        Fixes the tempo LED.
Image:          8 bytes
SysEx portions: 2
Mac port names: 2:Ostrel Dramlin
Win port names: 2:Alpha
Port names    : 2
Total SysEx:    10 bytes
Portion 1: 4 bytes, delay 250 ms
Portion 2: 6 bytes, delay 0 ms" "$STATUS|$(cat "$WORK/stdout")"
run inspect --json full.upd
expect_eq "inspect, JSON" '{"kind":"update","productName":"Ostrel Kelva","message":"Fixes the tempo LED.","version":"1.05","versionNumbers":[1,5],"usbAddress":[1,2,3],"macPortNames":["Ostrel Dramlin","Ostrel Kelva"],"windowsParameters":{"names":["Alpha","Zed"],"ideal":512,"max":3072,"delay":200,"unprepDelay":100,"chunks":false},"imageSize":8,"portions":[{"size":4,"delay":250},{"size":6,"delay":0}],"totalSysExSize":10}' "$(jq -c . "$WORK/stdout")"
printf '\xF0\x01\xF7\x12' >raw.syx
run inspect --json raw.syx
expect_eq "inspect, raw SysEx: one portion of the whole file" '["sysex","<SysEx Update Device>",[{"size":4,"delay":0}]]' \
    "$(jq -c '[.kind, .productName, .portions]' "$WORK/stdout")"
{ header $'Kel\xFFva' 1 0 "" 0 0 0; } >latin.upd
run inspect --json latin.upd
expect_eq "inspect, JSON: bytes not UTF-8 become U+FFFD" '[75,101,108,65533,118,97]' "$(jq -c '.productName | explode' "$WORK/stdout")"

# Errors: the reader's text alone on stderr, or as {"error": ...}; a file that cannot be opened named.
printf 'OrvoUpdateFilf\x04\x00' >bad.upd
run inspect bad.upd
expect_eq "reader error, plain" "1||Update file was invalid (bad header)." "$STATUS|$(cat "$WORK/stdout")|$(cat "$WORK/stderr")"
run inspect --json bad.upd
expect_eq "reader error, JSON" '1|{"error":"Update file was invalid (bad header)."}' "$STATUS|$(jq -c . "$WORK/stdout")"
run extract bad.upd --portion 1 -o x
expect_eq "reader error, extract" "1|Update file was invalid (bad header)." "$STATUS|$(cat "$WORK/stderr")"
run inspect "no such.upd"
expect_eq "missing file" "midi-updater-cli: cannot open 'no such.upd': No such file or directory" "$(cat "$WORK/stderr")"
run inspect --json "no such.upd"
expect_eq "missing file, JSON" '1|{"error":"cannot open '"'no such.upd'"': No such file or directory"}' "$STATUS|$(jq -c . "$WORK/stdout")"
mkdir folder
run inspect folder
expect_eq "a folder" "midi-updater-cli: cannot open 'folder': Is a directory" "$(cat "$WORK/stderr")"

# extract: each portion (an empty one too), the image records joined, to a file or standard output.
{ header "K" 1 0 "" 0 0 0; u32 1; u32 0; u32 20; } >empty-portion.upd
for args in "full.upd --portion 1|p1" "full.upd --portion 2|p2" "full.upd --image|image" \
    "empty-portion.upd --portion 1|/dev/null" "raw.syx --portion 1|raw.syx"; do
    printf 'ABCDExyz' >image
    head -c 100000 /dev/zero >out # replaced as a whole
    run extract ${args%|*} -o out
    check "extract ${args%|*}" cmp "${args#*|}" out
    run extract ${args%|*} -o -
    check "extract ${args%|*} -o -" cmp "${args#*|}" "$WORK/stdout"
done

# pack: the 36-byte header and a portion F0 01 F7 with a 250 ms pause, byte for byte, to a file or -o -.
printf '\xF0\x01\xF7' >f0.syx
run pack -o ab.upd --product AB --version 1.2 --usb-address 3,4,5 --portion f0.syx@250
expect_eq "pack, bytes" "$(printf 'OrvoUpdateFile' | xxd -p)0400020000004142010002000000000003000400050001000000030000\
00f001f7fa000000" "$(xxd -p ab.upd | tr -d '\n')"
run pack -o - --product AB --version 1.2 --usb-address 3,4,5 --portion f0.syx@250
check "pack -o -" cmp ab.upd "$WORK/stdout"
# Records go in by kind (port names, Windows parameters, portions, images), each in the order given.
printf 'img1' >i1.bin
run pack --image i1.bin --portion p2@7 --win-params 'win:x:ideal:5' --mac-ports 'M1$M2' -o order.upd \
    --portion p1 --image raw.syx --mac-ports 'M3' --win-params 'win:y:max:6' --product P --version 2.30 --message hi
{
    header P 2 30 hi 0 0 0
    u32 5; str 'M1$M2'; u32 5; str M3
    u32 3; str 'win:x:ideal:5'; u32 3; str 'win:y:max:6'
    u32 1; u32 6; cat p2; u32 7; u32 1; u32 4; cat p1; u32 0
    u32 2; u32 4; cat i1.bin; u32 2; u32 4; cat raw.syx
} >order-expected.upd
check "pack, record order" cmp order-expected.upd order.upd
# Refusals: exit 2 naming the problem; no output, or the existing one kept, and nothing beside it.
while IFS='|' read -r needle args; do
    rm -f out.upd
    eval "run pack -o out.upd --product K $args"
    check "refused $args: names $needle" grep -qF "$needle" "$WORK/stderr"
    expect_eq "refused $args: exit 2, nothing written" "2|" "$STATUS|$(ls out.upd* 2>/dev/null)"
    printf 'old' >out.upd
    eval "run pack -o out.upd --product K $args"
    expect_eq "refused $args: the existing file kept" "2|old|out.upd" "$STATUS|$(cat out.upd)|$(ls out.upd*)"
done <<'TABLE'
'raw.syx' is not framed SysEx|--version 1.0 --portion p1 --portion raw.syx
'missing.syx'|--version 1.0 --portion missing.syx@5
'f0.syx@4294967296'|--version 1.0 --portion f0.syx@4294967296
'1.x'|--version 1.x --portion f0.syx
TABLE
run pack -o folder --product K --version 1.0
expect_eq "pack onto a folder: exit 1, nothing left beside it" "1|folder" "$STATUS|$(ls -d folder*)"
run extract full.upd --image -o missing-dir/out
check "extract into a missing folder names it" grep -qF "missing-dir/out" "$WORK/stderr"

# Exit statuses: 0 done, 1 failed (file rejected or not written), 2 a wrong command line (nothing on
# standard output, a word on standard error, nothing written).
while IFS='|' read -r status case args; do
    rm -f x
    eval "run $args"
    expect_eq "exit status: $case" "$status" "$STATUS"
    [ "$status" != 2 ] || check "$case: says why, writes nothing" test -s "$WORK/stderr" -a ! -s "$WORK/stdout" -a ! -e x
done <<'TABLE'
0|extract|extract full.upd --portion 2 -o x
1|a rejected file|extract bad.upd --portion 1 -o x
1|pack into a missing folder|pack -o missing-dir/x --product K --version 1.0
2|no command|
2|unknown option|inspect --colour full.upd
2|extract portion 0|extract full.upd --portion 0 -o x
2|extract past the last portion|extract full.upd --portion 3 -o x
2|extract without --portion or --image|extract full.upd -o x
2|pack without --product|pack -o x --version 1.0
2|pack with a wrong USB address|pack -o x --product K --version 1.0 --usb-address 1,2,65536
2|pack with Windows parameters not starting with win:|pack -o x --product K --version 1.0 --win-params WIN:x
TABLE
if [ -w /dev/full ]; then
    "$CLI" inspect full.upd >/dev/full 2>"$WORK/stderr" && STATUS=0 || STATUS=$?
    expect_eq "exit status: output to a full device" "1|midi-updater-cli: cannot write to standard output" "$STATUS|$(cat "$WORK/stderr")"
fi

# --help lists every command, and each command's help names it; --version names the build.
run --help
cp "$WORK/stdout" help.txt
for command in inspect extract pack update video-mode list simulate status; do
    check "--help lists $command" grep -qE "^  $command( |$)" help.txt
    run "$command" --help
    expect_eq "$command --help: exit 0" 0 "$STATUS"
    check "$command --help names it" grep -qF "$command" "$WORK/stdout"
done
run --version
expect_eq "--version" "midi-updater-cli 1.00 (GM)" "$(cat "$WORK/stdout")"

# The checked-in example inspects as documented and regenerates byte for byte.
: "${EXAMPLES:?EXAMPLES must name the examples folder}"
run inspect "$EXAMPLES/kelva-demo.upd"
expect_eq "the example" "Product name:   Ostrel Kelva
Message:        Firmware 1.05 for the Ostrel Kelva (demo). Keep the device connected until the update has completed.
Image:          4096 bytes
SysEx portions: 3
Mac port names: 2:Ostrel Dramlin
Win port names: 2:Ostrel Dramlin
Port names    : 2
Total SysEx:    294912 bytes
Portion 1: 98304 bytes, delay 1500 ms
Portion 2: 131072 bytes, delay 1000 ms
Portion 3: 65536 bytes, delay 0 ms" "$(cat "$WORK/stdout")"
bash "$EXAMPLES/make-examples.sh" "$CLI" regenerated >/dev/null
check "make-examples.sh" cmp "$EXAMPLES/kelva-demo.upd" regenerated/kelva-demo.upd
python3 "$EXAMPLES/make-syx.py" syx >/dev/null
for name in kelva-1.syx kelva-2.syx kelva-3.syx kelva-image.bin; do
    check "make-syx.py: $name" cmp "$EXAMPLES/$name" "syx/$name"
done
for n in 1 2 3; do
    run extract "$EXAMPLES/kelva-demo.upd" --portion "$n" -o -
    check "the example's portion $n" cmp "$EXAMPLES/kelva-$n.syx" "$WORK/stdout"
done

finish
