#!/usr/bin/env bash
# The kernel tests' list, run in order in one boot of the VM: each part prints its PASS/FAIL/SKIPPED
# lines; this prints one line per part and exits 1 if any failed, 77 if any was skipped, else 0.
# usage (inside the VM): suite.sh CLI DATA_DIR [BUILD_DIR...]  (builds whose ALSA tests to run)
here=$(cd "$(dirname "$0")" && pwd)
tools=$here/../../tools/kernel-vm
source "$tools/lib.sh"
cli=$1
data=$2
shift 2
ktest_part "harness self-test" bash "$tools/harness-selftest.sh"
ktest_part "ALSA back-end tests on the kernel's sequencer" bash "$here/alsa-tests.sh" "$@"
ktest_part "updater on the USB MIDI device" bash "$here/updater-tests.sh" "$cli" "$data"
ktest_part "the window's device line" bash "$here/window-tests.sh" "$cli" "$data"
ktest_part "the updater on a desktop-like machine" bash "$here/desktop-safety-tests.sh" "$cli" "$data"
ktest_part "amidi comparison (a measurement)" bash "$tools/amidi-compare.sh" "$data/all-1m.syx" "${KTEST_AMIDI_RUNS:-5}"
ktest_parts_summary
