#!/usr/bin/env bash
# The ALSA back end's own tests (PlatformTests, suites Alsa*) inside the VM, where they have the
# kernel's sequencer and the USB MIDI device to work on; then again from a ThreadSanitizer build,
# when one is there. In the VM none of them may skip.
# usage (inside the VM): alsa-tests.sh BUILD_DIR [TSAN_BUILD_DIR]
source "$(dirname "$0")/../../tools/kernel-vm/lib.sh"

ktest_check "the gadget is up" gadget_up
export MIDIUPDATER_TEST_DEVICE_END="hw:$GADGET_CARD_ID"

ran=0
for dir in "$@"; do
    binary=$dir/tests/Platform/PlatformTests
    [ -x "$binary" ] || { echo "no $binary: not built"; continue; }
    log=${KTEST_RUN:-/tmp}/alsa-tests-$(basename "$dir").log
    ktest_log "$binary --gtest_filter='Alsa*'"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" timeout 300 "$binary" --gtest_filter='Alsa*' > "$log" 2>&1
    status=$?
    grep -E '^\[ +(OK|FAILED|SKIPPED|PASSED) +\]|WARNING: ThreadSanitizer|^\[=+\]' "$log" | tail -n 40
    if [ "$status" -ne 0 ]; then
        # The failures with what led to them (the whole output stays in $log).
        awk '/^\[ RUN +\]/ { buffer = "" } { buffer = buffer $0 "\n" } /^\[  FAILED  \] .*\(/ { printf "%s", buffer }' "$log" | tail -n 80
    fi
    ran=1
    ktest_check "ALSA tests from $dir pass in the VM (exit $status)" test "$status" -eq 0
    ktest_check "ALSA tests from $dir: none skipped in the VM" sh -c "! grep -q '^\[  SKIPPED \]' '$log'"
    ktest_check "ALSA tests from $dir: some ran" grep -q '^\[       OK \] Alsa' "$log"
done
if [ $ran -eq 0 ]; then
    echo "SKIPPED: ALSA back-end tests: PlatformTests is not built in $*"
    exit 77
fi
ktest_summary
