#!/usr/bin/env bash
# Runs the reader benchmark and prints the reader's throughput as a ratio to a plain stream read of
# the same bytes in the same run:  bench/run.sh BUILD_DIR
# Fails when the ratio is below GOAL (default 0.5).
set -euo pipefail

build_dir=${1:?usage: bench/run.sh BUILD_DIR}
goal=${GOAL:-0.5}
bench="$build_dir/bench/read_update_bench"
[[ -x $bench ]] || { echo "bench/run.sh: $bench is missing; build with -DMIDIUPDATER_BUILD_BENCH=ON" >&2; exit 1; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
# The repetitions of the two are interleaved, so that a change in the machine's load hits both alike.
"$bench" --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_out="$out" --benchmark_out_format=csv

# CSV: name,iterations,real_time,cpu_time,time_unit,bytes_per_second,...; compare the medians.
rate() { awk -F, -v name="$1" 'index($1, "\"" name) == 1 && $1 ~ /_median"$/ { print $6 }' "$out"; }
reader=$(rate ReadWithUpdateReader)
plain=$(rate ReadWithPlainStreamRead)
[[ -n $reader && -n $plain ]] || { echo "bench/run.sh: no median figures in the benchmark output" >&2; exit 1; }

awk -v r="$reader" -v p="$plain" -v goal="$goal" 'BEGIN {
    ratio = r / p
    printf "reader: %.0f MiB/s, plain std::istream::read: %.0f MiB/s (medians of 9 interleaved runs)\n", r / 1048576, p / 1048576
    printf "ratio reader/plain: %.2f (goal: at least %.2f)\n", ratio, goal
    if (ratio < goal) { print "bench/run.sh: the reader is below the goal" > "/dev/stderr"; exit 1 }
}'
