#!/usr/bin/env bash
# midi-updater-cli on files: inspect (text, JSON), extract's bytes, pack's bytes, the exit statuses with
# their texts and what a failed run leaves, --help and --version.
# Catches: wrong summary lines or JSON keys, wrong bytes extracted or packed (record order, bounds),
# a half-written or lost output, temporary files left behind, wrong exit statuses or help texts.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# An update file with every record kind: port names, Windows parameters, two portions, two images.
printf '\xF0\x01\x02\xF7' >p1
printf '\xF0\x03\x04\x0A\x06\xF7' >p2
printf 'ABCDE' >i1
printf 'xyz' >i2
"$CLI" pack -o full.upd --product "Ostrel Kelva" --version 1.5 --message "Fixes the tempo LED." --usb-address 1,2,3 \
    --mac-ports 'Ostrel Kelva$Ostrel Dramlin' --win-params 'win:any:name:Zed$Alpha:ideal:512:chunks:no' \
    --portion p1@250 --portion p2 --image i1 --image i2
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
expect_eq "inspect, JSON" '{"kind":"update","productName":"Ostrel Kelva","message":"Fixes the tempo LED.","version":"1.05","versionNumbers":[1,5],"usbAddress":[1,2,3],"macPortNames":["Ostrel Dramlin","Ostrel Kelva"],"windowsParameters":{"names":["Alpha","Zed"],"ideal":512,"max":3072,"delay":200,"unprepDelay":100,"chunks":false},"imageSize":8,"portions":[{"size":4,"delay":250},{"size":6,"delay":0}],"totalSysExSize":10}' "$("$CLI" inspect --json full.upd | jq -c .)"
printf '\xF0\x01\xF7\x12' >raw.syx
"$CLI" pack -o latin.upd --product $'Kel\xFFva' --version 1.0
expect_eq "inspect --json: raw SysEx one portion of the whole file; bytes not UTF-8 become U+FFFD" \
    '["sysex","<SysEx Update Device>",[{"size":4,"delay":0}]]|[75,101,108,65533,118,97]' \
    "$("$CLI" inspect --json raw.syx | jq -c '[.kind, .productName, .portions]')|$("$CLI" inspect --json latin.upd | jq -c '.productName | explode')"

# extract: each portion (an empty one too), the image records joined, to a file or standard output.
xxd -r -p <<<4f72766f55706461746546696c650400010000004b0100000000000000000000000000010000000000000014000000 \
    >empty-portion.upd
printf 'ABCDExyz' >image
for args in "full.upd --portion 1|p1" "full.upd --portion 2|p2" "full.upd --image|image" \
    "empty-portion.upd --portion 1|/dev/null" "raw.syx --portion 1|raw.syx"; do
    head -c 100000 /dev/zero >out # replaced as a whole
    run extract ${args%|*} -o out
    run extract ${args%|*} -o -
    expect_eq "extract ${args%|*}, to a file and to -o -" "" "$(cmp "${args#*|}" out 2>&1)$(cmp "${args#*|}" "$WORK/stdout" 2>&1)"
done

# pack: the 36-byte header and a portion F0 01 02 F7 with a 250 ms pause, byte for byte, to a file or -o -.
run pack -o ab.upd --product AB --version 1.2 --usb-address 3,4,5 --portion p1@250
expect_eq "pack, bytes" "$(printf 'OrvoUpdateFile' | xxd -p)0400020000004142010002000000000003000400050001000000040000\
00f00102f7fa000000" "$(xxd -p ab.upd | tr -d '\n')"
run pack -o - --product AB --version 1.2 --usb-address 3,4,5 --portion p1@250
expect_eq "pack -o -" "" "$(cmp ab.upd "$WORK/stdout" 2>&1)"
# Records go in by kind (port names, Windows parameters, portions, images), each in the order given.
run pack --image i1 --portion p2@7 --win-params 'win:x:ideal:5' --mac-ports 'M1$M2' -o order.upd \
    --portion p1 --image raw.syx --mac-ports 'M3' --win-params 'win:y:max:6' --product P --version 2.30 --message hi
expect_eq "pack, record order" "$(printf 'OrvoUpdateFile' | xxd -p)0400010000005002001e000200000068690000000000000500\
0000050000004d31244d3205000000020000004d33030000000d00000077696e3a783a696465616c3a35030000000b00000077696e3a793a\
6d61783a360100000006000000f003040a06f7070000000100000004000000f00102f70000000002000000050000004142434445020000\
0004000000f001f712" "$(xxd -p order.upd | tr -d '\n')"
# Each row: the exit status (0 done, 1 failed: file rejected, not found or not written, 2 a wrong command
# line)|standard output (as compact JSON)|standard error's first line|arguments. A run that fails leaves
# the folder as it was: an existing output kept, nothing written, no temporary file beside it.
printf 'OrvoUpdateFilf\x04\x00' >bad.upd
mkdir folder
while IFS='|' read -r status out err args; do
    printf 'old' >out.upd
    before=$(ls)
    eval "run $args"
    expect_eq "$args" "$status|$out|$err" "$STATUS|$(jq -c . "$WORK/stdout")|$(head -n 1 "$WORK/stderr")"
    [ "$status" = 0 ] || expect_eq "$args: nothing written" "$before|old" "$(ls)|$(cat out.upd)"
done <<'TABLE'
0|||extract full.upd --portion 2 -o x
1||Update file was invalid (bad header).|inspect bad.upd
1|{"error":"Update file was invalid (bad header)."}||inspect --json bad.upd
1||Update file was invalid (bad header).|extract bad.upd --portion 1 -o out.upd
1||midi-updater-cli: cannot open 'no such.upd': No such file or directory|inspect "no such.upd"
1|{"error":"cannot open 'no such.upd': No such file or directory"}||inspect --json "no such.upd"
1||midi-updater-cli: cannot open 'folder': Is a directory|inspect folder
1||midi-updater-cli: pack: cannot create 'missing-dir/x': No such file or directory|pack -o missing-dir/x --product K --version 1.0
1||midi-updater-cli: cannot create 'missing-dir/out': No such file or directory|extract full.upd --image -o missing-dir/out
1||midi-updater-cli: pack: cannot write 'folder': Is a directory|pack -o folder --product K --version 1.0
2||A subcommand is required|
2||The following argument was not expected: --colour|inspect --colour full.upd
2||midi-updater-cli: there is no portion 0 in 'full.upd': it holds 2 portion(s), numbered from 1|extract full.upd --portion 0 -o x
2||midi-updater-cli: there is no portion 3 in 'full.upd': it holds 2 portion(s), numbered from 1|extract full.upd --portion 3 -o x
2||extract: one of --portion N or --image is required|extract full.upd -o x
2||--product is required|pack -o x --version 1.0
2||midi-updater-cli: pack: --usb-address takes three whole numbers below 65536, as W1,W2,W3; got '1,2,65536'|pack -o x --product K --version 1.0 --usb-address 1,2,65536
2||midi-updater-cli: pack: --win-params must start with 'win:' (win:ANY:key:value...), or the updater ignores it; got 'WIN:x'|pack -o x --product K --version 1.0 --win-params WIN:x
2||midi-updater-cli: pack: 'raw.syx' is not framed SysEx: a portion must start with F0 and end with F7|pack -o out.upd --product K --version 1.0 --portion p1 --portion raw.syx
2||midi-updater-cli: pack: cannot open 'missing.syx': No such file or directory|pack -o out.upd --product K --version 1.0 --portion missing.syx@5
2||midi-updater-cli: pack: cannot open 'p1@4294967296': No such file or directory|pack -o out.upd --product K --version 1.0 --portion p1@4294967296
2||midi-updater-cli: pack: --version takes MAJOR.MINOR, two whole numbers below 65536 (for example 1.5, shown as 1.05); got '1.x'|pack -o out.upd --product K --version 1.x --portion p1
TABLE
[ ! -w /dev/full ] || expect_eq "exit status: output to a full device" "midi-updater-cli: cannot write to standard output
1" "$("$CLI" inspect full.upd 2>&1 >/dev/full || echo $?)"

# --help lists every command, and each command's help names it; --version names the build.
run --help
expect_eq "--help lists every command" 8 "$(grep -cE '^  (inspect|extract|pack|update|video-mode|list|simulate|status)( |$)' "$WORK/stdout")"
expect_eq "each command's --help: exit 0, names it" 11111111 "$(for command in inspect extract pack update \
    video-mode list simulate status; do "$CLI" "$command" --help >help && grep -cm1 -- "$command" help; done | tr -d '\n')"
expect_eq "--version" "midi-updater-cli 1.00 (GM)" "$("$CLI" --version)"
