#!/usr/bin/env bash
# midi-updater-cli extract: a portion's or the image's bytes, exactly, to a file or standard output.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# Portions of 4, 0 and 6 bytes (in that order) and two image records, composed by hand.
printf '\xF0\x01\x02\xF7' >"$WORK/p1"
: >"$WORK/p2"
printf '\xF0\x03\x04\x0A\x06\xF7' >"$WORK/p3"
printf 'IMAGE\x00\xFF' >"$WORK/i1"
printf '\x01\x02\x03' >"$WORK/i2"
cat "$WORK/i1" "$WORK/i2" >"$WORK/image"
file="$WORK/three.upd"
{
    header "K" 1 0 "" 0 0 0
    u32 2; u32 7; cat "$WORK/i1"
    u32 1; u32 4; cat "$WORK/p1"; u32 10
    u32 1; u32 0; u32 20
    u32 2; u32 3; cat "$WORK/i2"
    u32 1; u32 6; cat "$WORK/p3"; u32 30
} >"$file"

for n in 1 2 3; do
    run extract "$file" --portion "$n" -o "$WORK/out$n"
    expect_status "portion $n" 0
    expect_empty "portion $n: stdout" "$WORK/stdout"
    expect_same_bytes "portion $n" "$WORK/p$n" "$WORK/out$n"
done
run extract "$file" --image -o "$WORK/out-image"
expect_status "image" 0
expect_same_bytes "image records concatenated in file order" "$WORK/image" "$WORK/out-image"

# -o - writes the bytes to standard output and nothing else.
run extract "$file" --portion 3 -o -
expect_status "portion to stdout" 0
expect_same_bytes "portion to stdout" "$WORK/p3" "$WORK/stdout"
run extract "$file" --image --output -
expect_status "image to stdout" 0
expect_same_bytes "image to stdout" "$WORK/image" "$WORK/stdout"

# An existing output file is replaced as a whole.
head -c 100000 /dev/zero >"$WORK/existing"
run extract "$file" --portion 1 -o "$WORK/existing"
expect_status "replacing a longer file" 0
expect_same_bytes "replacing a longer file" "$WORK/p1" "$WORK/existing"

# No image: an empty file.
{ header "K" 1 0 "" 0 0 0; } >"$WORK/bare.upd"
run extract "$WORK/bare.upd" --image -o "$WORK/no-image"
expect_status "no image" 0
expect_same_bytes "no image" /dev/null "$WORK/no-image"

# A raw SysEx file is one portion: the whole file, trailing bytes and all.
printf '\xF0\x7F\xF7\xF0\x00\xF7\x0A\x12' >"$WORK/raw.syx"
run extract "$WORK/raw.syx" --portion 1 -o "$WORK/raw-out"
expect_status "raw sysex" 0
expect_same_bytes "raw sysex" "$WORK/raw.syx" "$WORK/raw-out"

# The checked-in example: its three large portions come back as the .syx files they were packed from.
if [ -n "${EXAMPLES:-}" ] && [ -f "$EXAMPLES/kelva-demo.upd" ]; then
    for n in 1 2 3; do
        run extract "$EXAMPLES/kelva-demo.upd" --portion "$n" -o -
        expect_status "example portion $n" 0
        expect_same_bytes "example portion $n" "$EXAMPLES/kelva-$n.syx" "$WORK/stdout"
    done
    run extract "$EXAMPLES/kelva-demo.upd" --image -o "$WORK/example-image"
    expect_same_bytes "example image" "$EXAMPLES/kelva-image.bin" "$WORK/example-image"
else
    fail "EXAMPLES does not name the examples folder"
fi

# An output that cannot be written: exit 1, a message naming it, nothing left behind.
mkdir "$WORK/dir"
run extract "$file" --portion 1 -o "$WORK/missing-dir/out"
expect_status "output in a missing folder" 1
expect_contains "output in a missing folder" "$WORK/stderr" "$WORK/missing-dir/out"
run extract "$file" --portion 1 -o "$WORK/dir"
expect_status "output is a folder" 1
expect_contains "output is a folder" "$WORK/stderr" "$WORK/dir"
expect_eq "output is a folder: nothing left beside it" "dir" "$(cd "$WORK" && ls -d dir*)"

finish
