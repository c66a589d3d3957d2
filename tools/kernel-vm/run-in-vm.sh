#!/usr/bin/env bash
# Boots Debian's kernel under qemu (TCG) with ALSA and the USB-gadget stack loaded, runs
# SCRIPT [ARGS] inside it as root in a chroot of this machine's root (read-only, with the project
# folder read-write), and returns the script's exit status.
#
# Exit status: the script's; 77 with a SKIPPED line when qemu or the kernel cannot be had here;
# 124 when the VM hit the time-out; 125 when the VM did not report a status.
#
# Environment: KTEST_DIR (cache and run folders, default <repo>/build-vm), KTEST_TIMEOUT (seconds,
# default 900), KTEST_MEMORY (MiB, default 1024), KTEST_CPUS (default 2). The console (kernel
# warnings and the script's output) is shown as it comes and kept in the run folder.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
KTEST_DIR=${KTEST_DIR:-$repo/build-vm}
timeout_s=${KTEST_TIMEOUT:-900}
memory=${KTEST_MEMORY:-1024}
cpus=${KTEST_CPUS:-2}

if [ $# -lt 1 ]; then
    echo "usage: $0 SCRIPT [ARGS...]" >&2
    exit 2
fi
script=$(realpath "$1")
shift

skip() {
    echo "SKIPPED: kernel tests: $*"
    exit 77
}

qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 is not installed (make deps installs qemu-system-x86)"
echo quit | timeout 30 "$qemu" -accel tcg -machine q35 -nodefaults -display none -monitor stdio -S \
    -virtfs local,path=/,mount_tag=probe,security_model=none,readonly=on > /dev/null 2>&1 ||
    skip "qemu-system-x86_64 cannot start a TCG machine with 9p here"

case "$repo$KTEST_DIR$script" in
    *[[:space:]]*) skip "paths with spaces cannot go on the kernel command line ($repo)" ;;
esac
case "$script" in
    "$repo"/*) ;;
    *) echo "run-in-vm: $script is not inside $repo, which is all the VM can write" >&2; exit 2 ;;
esac

if [ "${KTEST_PREPARED:-0}" != 1 ]; then
    "$here/prepare.sh" || exit $?
fi
kernel=$KTEST_DIR/kernel/vmlinux
initramfs=$KTEST_DIR/kernel/initramfs.cpio.gz

mkdir -p "$KTEST_DIR/runs"
run=$(mktemp -d "$KTEST_DIR/runs/run-XXXXXX")
{
    echo "export KTEST_REPO=$repo KTEST_DIR=$KTEST_DIR KTEST_TOOLS=$KTEST_DIR/tools KTEST_RUN=$run"
    # The VM starts from a clean environment: pass on the tests' own settings.
    for variable in $(compgen -e | grep -E '^(KTEST_|MIDIUPDATER_)' | grep -v -E '^KTEST_(REPO|DIR|TOOLS|RUN)$'); do
        echo "export $variable=$(printf '%q' "${!variable}")"
    done
    echo "cd $(printf '%q' "$PWD") || exit 125"
    printf 'exec /bin/bash'
    printf ' %q' "$script" "$@"
    echo
} > "$run/command.sh"
log=$run/console.log
echo "$run" > "$KTEST_DIR/last-run"

start=$(date +%s%N)
: > "$run/stdout" # before tail opens it
set +e
timeout -k 10 "$timeout_s" "$qemu" \
    -accel tcg -machine q35 -cpu max,la57=off -smp "$cpus" -m "$memory" \
    -nographic -no-reboot -nodefaults \
    -chardev stdio,id=console,signal=off,logfile="$log" -serial chardev:console \
    -kernel "$kernel" -initrd "$initramfs" \
    -append "console=ttyS0 loglevel=4 panic=-1 ktest.work=$repo ktest.run=$run" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$repo",mount_tag=work,security_model=none,multidevs=remap \
    < /dev/null > "$run/stdout" 2>&1 &
qemu_pid=$!
set -e
tail -n +1 -f "$run/stdout" --pid=$qemu_pid &
tail_pid=$!
wait $qemu_pid
qemu_status=$?
wait $tail_pid 2> /dev/null || true
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
elapsed=$((elapsed_ms / 1000)).$(printf '%03d' $((elapsed_ms % 1000)))

if [ $qemu_status -eq 124 ] || [ $qemu_status -eq 137 ]; then
    echo "run-in-vm: FAILED: the VM hit the ${timeout_s} s time-out (console: $log)"
    exit 124
fi
if [ ! -f "$run/status" ]; then
    echo "run-in-vm: FAILED: the VM reported no status, qemu exit $qemu_status (console: $log)"
    exit 125
fi
status=$(cat "$run/status")
echo "run-in-vm: $(basename "$script") exited $status; VM ran ${elapsed} s (console: $log)"
exit "$status"
