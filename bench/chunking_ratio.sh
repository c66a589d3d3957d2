#!/usr/bin/env bash
# Runs the chunking benchmark and prints, for each portion shape, the time per MiB of cutting it
# into chunks and of a plain memchr scan of the same bytes in the same run, and their ratio:
#   bench/chunking_ratio.sh BUILD_DIR
set -euo pipefail

build_dir=${1:?usage: bench/chunking_ratio.sh BUILD_DIR}
bench="$build_dir/bench/chunking_bench"
[[ -x $bench ]] || { echo "bench/chunking_ratio.sh: $bench is missing; build with -DMIDIUPDATER_BUILD_BENCH=ON" >&2; exit 1; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$bench" --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_out="$out" --benchmark_out_format=csv >/dev/null 2>&1

# CSV: name,iterations,real_time,cpu_time,time_unit,bytes_per_second,...; medians of real time.
median() { awk -F, -v name="$1" 'index($1, "\"" name "/") == 1 && $1 ~ /_median"$/ { print $3 }' "$out"; }
for shape in messages1KiB noEnds; do
    chunks=$(median "CutIntoChunks/$shape")
    scan=$(median "MemchrScan/$shape")
    [[ -n $chunks && -n $scan ]] || { echo "bench/chunking_ratio.sh: no median figures for $shape" >&2; exit 1; }
    awk -v c="$chunks" -v s="$scan" -v shape="$shape" 'BEGIN {
        printf "%-13s chunking: %.2f us/MiB, memchr: %.2f us/MiB, ratio chunking/memchr: %.2f\n", shape, c / 16, s / 16, c / s
    }'
done
