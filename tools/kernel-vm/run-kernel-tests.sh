#!/usr/bin/env bash
# The kernel-test stage (make kernel-test): prepares the test files on this machine, then boots
# the VM once and runs suite.sh in it. Writes the measured figures to <KTEST_DIR>/figures.txt.
# usage: run-kernel-tests.sh CLI [BUILD_DIR...]   (builds whose ALSA back-end tests run in the VM too,
#        for example the normal and the ThreadSanitizer build)
# Exit: 0 when everything ran and passed, or when parts were skipped (each says SKIPPED, with
# why); 1 on any failure. With KTEST_REQUIRE=1, a skip is a failure too.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
export KTEST_DIR=${KTEST_DIR:-$repo/build-vm}
cli=$(realpath -m "${1:?usage: $0 CLI [BUILD_DIR...]}")
shift
builds=()
for dir in "$@"; do
    [ -d "$dir" ] && builds+=("$(realpath "$dir")")
done

finish() {
    if [ "$1" -eq 77 ]; then
        if [ "${KTEST_REQUIRE:-0}" = 1 ]; then
            echo "kernel tests: FAILED: parts were skipped and KTEST_REQUIRE=1"
            exit 1
        fi
        echo "kernel tests: SKIPPED in part (see the SKIPPED lines above)"
        exit 0
    fi
    exit "$1"
}

"$here/prepare.sh"
status=$?
[ $status -eq 0 ] || finish $status

# The test files, made here where it is fast; the VM reads them from the project folder.
data=$KTEST_DIR/data
mkdir -p "$data"
make_sysex() { python3 "$here/make-sysex.py" "$@"; }
make_sysex "$data/p1.syx" 262144 0x4B31
make_sysex "$data/p2.syx" 262144 0x4B32
make_sysex "$data/p3.syx" 262144 0x4B33
make_sysex "$data/p4.syx" 262144 0x4B34
cat "$data"/p{1,2,3,4}.syx > "$data/all-1m.syx"
make_sysex "$data/single-64k.syx" 65536 0x4B35
make_sysex "$data/other-4k.syx" 4096 0x4B36
make_sysex "$data/chunked-16k.syx" 1048576 0x4B37 16384 16384
# Long enough to be still on its way when the device is unplugged, at the delivery's full speed.
make_sysex "$data/cut-8m.syx" 8388608 0x4B38
rm -f "$data"/*.upd
pack() { # OUT DELAY1
    "$cli" pack -o "$1" --product "Ostrel Kelva" --version 1.05 \
        --message "Kernel-test update: 1 MiB in four portions." \
        --mac-ports 'Ostrel Kelva' --win-params 'win:any:name:Ostrel Kelva' \
        --portion "$data/p1.syx@$2" --portion "$data/p2.syx@0" --portion "$data/p3.syx@0" --portion "$data/p4.syx@0" \
        > /dev/null
}
if [ -x "$cli" ]; then
    pack "$data/kelva-1m.upd" 500 || echo "kernel tests: cannot pack the test update with $cli"
    # A longer pause after portion 1, so the test can unplug the device between portions 1 and 2.
    pack "$data/kelva-unplug.upd" 3000 || echo "kernel tests: cannot pack the test update with $cli"
else
    echo "kernel tests: $cli is not built; the updater's part will be skipped"
fi

KTEST_TIMEOUT=${KTEST_TIMEOUT:-1200} KTEST_PREPARED=1 "$here/run-in-vm.sh" "$repo/tests/kernel/suite.sh" "$cli" "$data" "${builds[@]}"
status=$?
log=$(cat "$KTEST_DIR/last-run" 2> /dev/null)/console.log
if [ -f "$log" ]; then
    { echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, $log"; grep -a '^FIGURE:\|^vm-init: up after' "$log" | tr -d '\r'; } \
        > "$KTEST_DIR/figures.txt"
    cat "$KTEST_DIR/figures.txt"
fi
finish $status
