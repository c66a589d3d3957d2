#!/usr/bin/env bash
# The ALSA back end's own tests (PlatformTests, suites Alsa*) in the VM, on the kernel's sequencer and
# the USB gadget, from each build given (the normal and the ThreadSanitizer one). Catches: any of them
# failing, crashing, racing (TSan) or skipping where the VM has all they need.
# usage (inside the VM): alsa-tests.sh BUILD_DIR...
source "$(dirname "$0")/../../tools/kernel-vm/lib.sh"

ktest_check "the gadget is up" gadget_up
export MIDIUPDATER_TEST_DEVICE_END="hw:$GADGET_CARD_ID" MIDIUPDATER_TEST_GADGET=$GADGET_DIR
ran=0
for dir in "$@"; do
    binary=$dir/tests/Platform/PlatformTests
    [ -x "$binary" ] || { echo "no $binary: not built"; continue; }
    log=${KTEST_RUN:-/tmp}/alsa-tests-$(basename "$dir").log
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" timeout 300 "$binary" --gtest_filter='Alsa*' > "$log" 2>&1
    status=$?
    grep -E '^\[ +(OK|FAILED|SKIPPED|PASSED) +\]|WARNING: ThreadSanitizer|^\[=+\]|^FIGURE' "$log" | tail -n 40
    # The failures with what led to them (the whole output stays in $log).
    awk '/^\[ RUN +\]/ { b = "" } { b = b $0 "\n" } /^\[  FAILED  \] .*\(/ { printf "%s", b }' "$log" | tail -n 80
    ran=1
    ktest_check "ALSA tests from $dir pass in the VM (exit $status)" test "$status" -eq 0
    ktest_check "ALSA tests from $dir: some ran, none skipped" \
        sh -c "grep -q '^\[       OK \] Alsa' '$log' && ! grep -q '^\[  SKIPPED \]' '$log'"
done
[ $ran -eq 1 ] || { echo "SKIPPED: ALSA back-end tests: PlatformTests is not built in $*"; exit 77; }
ktest_summary
