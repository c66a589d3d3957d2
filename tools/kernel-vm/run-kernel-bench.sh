#!/usr/bin/env bash
# make kernel-bench: one VM boot timing the delivery of 1 MiB of SysEx to the USB MIDI gadget by
# `amidi -s` and by the updater's delivery (kernel-bench.sh). Exits 0 with a SKIPPED line where
# the VM cannot run.
# usage: run-kernel-bench.sh BUILD_DIR [RUNS]   (RUNS per sender, default 10)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
export KTEST_DIR=${KTEST_DIR:-$repo/build-vm}
build=$(realpath "${1:?usage: $0 BUILD_DIR [RUNS]}")
runs=${2:-10}
driver=$build/bench/alsa_delivery_driver
[ -x "$driver" ] || { echo "kernel-bench: $driver is not built"; exit 1; }
"$here/prepare.sh"
status=$?
[ $status -eq 77 ] && exit 0
[ $status -eq 0 ] || exit $status
mkdir -p "$KTEST_DIR/data"
python3 "$here/make-sysex.py" "$KTEST_DIR/data/bench-1m.syx" 1048576 0x4B31
KTEST_TIMEOUT=${KTEST_TIMEOUT:-600} KTEST_PREPARED=1 "$here/run-in-vm.sh" "$here/kernel-bench.sh" "$driver" \
    "$KTEST_DIR/data/bench-1m.syx" "$runs"
status=$?
[ $status -eq 77 ] && exit 0
exit $status
