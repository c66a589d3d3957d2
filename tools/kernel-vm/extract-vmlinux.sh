#!/usr/bin/env bash
# Writes the ELF kernel held inside a bzImage to OUT, so qemu can boot it directly and skip
# the kernel's own decompression (several seconds under emulation).
# The bzImage carries the kernel as one compressed payload: look for each known magic, try to
# decompress from there, and keep the first result that is an ELF file.
# Usage: extract-vmlinux.sh BZIMAGE OUT
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BZIMAGE OUT" >&2
    exit 2
fi
image=$1
out=$2

is_elf() { [ "$(head -c 4 "$1" | od -An -tx1 | tr -d ' \n')" = "7f454c46" ]; }

try() { # MAGIC(perl regex) TOOL...
    local magic=$1
    shift
    local offset
    for offset in $(LC_ALL=C grep -obUaP "$magic" "$image" | cut -d: -f1); do
        # A trailing-garbage error is expected: the payload is followed by the rest of the image.
        tail -c +"$((offset + 1))" "$image" | "$@" > "$out.tmp" 2> /dev/null || true
        if [ -s "$out.tmp" ] && is_elf "$out.tmp"; then
            mv "$out.tmp" "$out"
            return 0
        fi
    done
    rm -f "$out.tmp"
    return 1
}

try '\xfd7zXZ\x00' xz -dc ||
    try '\x28\xb5\x2f\xfd' zstd -dc ||
    try '\x1f\x8b\x08' gzip -dc ||
    try '\x02\x21\x4c\x18' lz4 -dc ||
    try '\x5d\x00\x00\x00' lzma -dc || {
    echo "extract-vmlinux: no ELF kernel found in $image" >&2
    exit 1
}
