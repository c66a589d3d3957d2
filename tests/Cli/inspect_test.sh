#!/usr/bin/env bash
# midi-updater-cli inspect: the text summary and the --json object, for update files and raw SysEx files.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# An update file with every record kind: two port-name records, a Windows parameter record, two
# portions and two image records (5 + 3 bytes).
full="$WORK/full.upd"
{
    header "Ostrel Kelva" 1 5 "Fixes the tempo LED." 1 2 3
    u32 5; str 'Ostrel Kelva$Ostrel Dramlin'
    u32 3; str 'win:any:name:Zed$Alpha:ideal:512:chunks:no'
    u32 1; u32 4; printf '\xF0\x01\x02\xF7'; u32 250
    u32 1; u32 6; printf '\xF0\x03\x04\x05\x06\xF7'; u32 0
    u32 2; str 'ABCDE'
    u32 2; str 'xyz'
} >"$full"

run inspect "$full"
expect_status "update file, text" 0
expect_file_text "update file, text" "$WORK/stdout" "Product name:   Ostrel Kelva
Message:        Fixes the tempo LED.
Image:          8 bytes
SysEx portions: 2
Mac port names: 2:Ostrel Dramlin
Win port names: 2:Alpha
Port names    : 2
Total SysEx:    10 bytes
Portion 1: 4 bytes, delay 250 ms
Portion 2: 6 bytes, delay 0 ms"
expect_empty "update file, text: stderr" "$WORK/stderr"

# The whole object, fields in their documented order.
run inspect --json "$full"
expect_status "update file, json" 0
expect_json "update file, json" '.' '{"kind":"update","productName":"Ostrel Kelva","message":"Fixes the tempo LED.","version":"1.05","versionNumbers":[1,5],"usbAddress":[1,2,3],"macPortNames":["Ostrel Dramlin","Ostrel Kelva"],"windowsParameters":{"names":["Alpha","Zed"],"ideal":512,"max":3072,"delay":200,"unprepDelay":100,"chunks":false},"imageSize":8,"portions":[{"size":4,"delay":250},{"size":6,"delay":0}],"totalSysExSize":10}'
expect_empty "update file, json: stderr" "$WORK/stderr"

# --json may come after the file too.
run inspect "$full" --json
expect_status "json flag after the file" 0
expect_json "json flag after the file" '.kind' '"update"'

# A header alone with an empty product name: both name sets hold the empty name, and no portions.
{ header "" 10 7 "" 65535 0 4660; } >"$WORK/bare.upd"
run inspect "$WORK/bare.upd"
expect_status "header only, text" 0
expect_file_text "header only, text" "$WORK/stdout" "Product name:   
Message:        
Image:          0 bytes
SysEx portions: 0
Mac port names: 1:
Win port names: 1:
Port names    : 1
Total SysEx:    0 bytes"
run inspect --json "$WORK/bare.upd"
expect_json "header only, json" '.' '{"kind":"update","productName":"","message":"","version":"10.07","versionNumbers":[10,7],"usbAddress":[65535,0,4660],"macPortNames":[""],"windowsParameters":{"names":[""],"ideal":1024,"max":3072,"delay":200,"unprepDelay":100,"chunks":true},"imageSize":0,"portions":[],"totalSysExSize":0}'

# Versions print as "%u.%02u".
{ header "K" 65535 123 "" 0 0 0; } >"$WORK/version.upd"
run inspect --json "$WORK/version.upd"
expect_json "three-digit minor" '[.version, .versionNumbers]' '["65535.123",[65535,123]]'

# "<sysex>" stands for the standard note; a different case does not.
{ header "K" 1 0 "<sysex>" 0 0 0; } >"$WORK/note.upd"
run inspect --json "$WORK/note.upd"
expect_eq "<sysex> note" "$(jq -cn --arg m "$SYSEX_NOTE" '$m')" "$(json "<sysex> note" '.message')"
{ header "K" 1 0 "<SysEx>" 0 0 0; } >"$WORK/note2.upd"
run inspect --json "$WORK/note2.upd"
expect_json "<SysEx> stays" '.message' '"<SysEx>"'

# Bytes that are not UTF-8 show as U+FFFD in JSON; the output stays valid JSON.
{ header $'Kel\xFFva' 1 0 $'bad \xC3' 0 0 0; u32 5; str $'Port\xFE'; } >"$WORK/latin.upd"
run inspect --json "$WORK/latin.upd"
expect_status "invalid UTF-8, json" 0
expect_json "invalid UTF-8 product" '.productName | explode' '[75,101,108,65533,118,97]'
expect_json "invalid UTF-8 message" '.message | explode' '[98,97,100,32,65533]'
expect_json "invalid UTF-8 port name" '.macPortNames[0] | explode' '[80,111,114,116,65533]'
# The text summary shows the bytes as they are.
run inspect "$WORK/latin.upd"
expect_status "invalid UTF-8, text" 0
expect_contains "invalid UTF-8, text" "$WORK/stdout" $'Product name:   Kel\xFFva'

# A raw SysEx file: one portion of the whole file, kind "sysex", the standard note, empty name sets.
printf '\xF0\x01\x02\xF7' >"$WORK/one.syx"
run inspect --json "$WORK/one.syx"
expect_status "raw sysex, json" 0
expect_json "raw sysex, json" 'del(.message)' '{"kind":"sysex","productName":"<SysEx Update Device>","version":"0.00","versionNumbers":[0,0],"usbAddress":[0,0,0],"macPortNames":[],"windowsParameters":{"names":[],"ideal":1024,"max":3072,"delay":200,"unprepDelay":100,"chunks":true},"imageSize":0,"portions":[{"size":4,"delay":0}],"totalSysExSize":4}'
expect_eq "raw sysex note" "$(jq -cn --arg m "$SYSEX_NOTE" '$m')" "$(json "raw sysex note" '.message')"
run inspect "$WORK/one.syx"
expect_status "raw sysex, text" 0
expect_file_text "raw sysex, text" "$WORK/stdout" "Product name:   <SysEx Update Device>
Message:        $SYSEX_NOTE
Image:          0 bytes
SysEx portions: 1
Mac port names: 0:
Win port names: 0:
Port names    : 0
Total SysEx:    4 bytes
Portion 1: 4 bytes, delay 0 ms"

# Bytes after the last F7 and several messages all belong to the one portion; the name does not matter.
printf '\xF0\xF7\x12\x34' >"$WORK/tail.bin"
run inspect --json "$WORK/tail.bin"
expect_json "raw sysex with trailing bytes" '[.kind, .portions, .totalSysExSize]' '["sysex",[{"size":4,"delay":0}],4]'
printf '\xF0\x01\xF7\xF0\x02\x03\xF7' >"$WORK/two.syx"
run inspect --json "$WORK/two.syx"
expect_json "two messages, one portion" '[.kind, .portions]' '["sysex",[{"size":7,"delay":0}]]'

finish
