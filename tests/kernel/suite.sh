#!/usr/bin/env bash
# Everything the kernel-test stage runs in its one boot, in order: the harness's self-test, the
# updater's tests, the window's device line, and the amidi comparison. Each part reports
# PASS/FAIL/SKIPPED lines of its own; this prints one line per part and exits 1 if any part
# failed, 77 if any was skipped, else 0.
# usage (inside the VM): suite.sh CLI DATA_DIR [BUILD_DIR...]  (builds whose ALSA tests to run)
here=$(cd "$(dirname "$0")" && pwd)
tools=$here/../../tools/kernel-vm
cli=$1
data=$2
shift 2
failed=0
skipped=0
results=()

part() { # NAME COMMAND...
    local name=$1
    shift
    local start=$SECONDS
    echo
    echo "=== $name"
    "$@"
    local status=$?
    local took=$((SECONDS - start))
    case $status in
        0) results+=("PASSED  $name (${took} s)") ;;
        77) results+=("SKIPPED $name (${took} s)"); skipped=1 ;;
        *) results+=("FAILED  $name (exit $status, ${took} s)"); failed=1 ;;
    esac
}

part "harness self-test" bash "$tools/harness-selftest.sh"
part "ALSA back-end tests on the kernel's sequencer" bash "$here/alsa-tests.sh" "$@"
part "updater on the USB MIDI device" bash "$here/updater-tests.sh" "$cli" "$data"
part "the window's device line" bash "$here/window-tests.sh" "$cli" "$data"
part "the updater on a desktop-like machine" bash "$here/desktop-safety-tests.sh" "$cli" "$data"
part "amidi comparison" bash "$tools/amidi-compare.sh" "$data/all-1m.syx" "${KTEST_AMIDI_RUNS:-5}"

echo
echo "=== kernel tests"
printf '%s\n' "${results[@]}"
[ $failed -eq 0 ] || exit 1
[ $skipped -eq 0 ] || exit 77
exit 0
