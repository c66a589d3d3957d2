#!/usr/bin/env bash
# Wall time of whole `midi-updater-cli update` runs on the simulated Kelva with no byte-rate limit
# and no busy answers, against the floor of the protocol's own waits: one 500 ms status poll per
# portion plus the pauses the file asks for. For 1, 10 and 50 portions of 16 KiB with 100 ms pauses:
#   bench/update_walltime.sh BUILD_DIR [REPETITIONS]
set -euo pipefail

build_dir=${1:?usage: bench/update_walltime.sh BUILD_DIR [REPETITIONS]}
repetitions=${2:-3}
cli="$build_dir/Source/Cli/midi-updater-cli"
[[ -x $cli ]] || { echo "bench/update_walltime.sh: $cli is missing; build it first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

portion_bytes=16384
pause_ms=100
poll_ms=500

# A portion of sixteen 1024-byte SysEx messages.
python3 - "$work/portion.syx" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for m in range(16):
        f.write(bytes([0xF0, 0x00, 0x00, 0x0E]) + bytes(0x10 + (m + i) % 0x50 for i in range(1019)) + b"\xF7")
PY

now_ms() { date +%s%3N; }

printf '%-9s %-10s %-12s %-12s %s\n' portions "floor ms" "median ms" "min ms" "ratio median/floor"
for portions in 1 10 50; do
    args=()
    for _ in $(seq "$portions"); do args+=(--portion "$work/portion.syx@$pause_ms"); done
    "$cli" pack -o "$work/u$portions.upd" --product "Ostrel Kelva" --version 1.05 \
        --mac-ports 'Ostrel Kelva' "${args[@]}"
    floor=$((portions * (poll_ms + pause_ms)))
    times=()
    for _ in $(seq "$repetitions"); do
        start=$(now_ms)
        "$cli" update --simulate --yes --sim-busy 0 --json "$work/u$portions.upd" </dev/null >"$work/out.jsonl"
        end=$(now_ms)
        tail -n 1 "$work/out.jsonl" | grep -q '"event":"completed"' || {
            echo "bench/update_walltime.sh: the $portions-portion update did not complete" >&2
            exit 1
        }
        times+=($((end - start)))
    done
    sorted=$(printf '%s\n' "${times[@]}" | sort -n)
    median=$(echo "$sorted" | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
    min=$(echo "$sorted" | head -n 1)
    awk -v p="$portions" -v f="$floor" -v m="$median" -v n="$min" \
        'BEGIN { printf "%-9d %-10d %-12d %-12d %.3f\n", p, f, m, n, m / f }'
done
