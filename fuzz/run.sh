#!/usr/bin/env bash
# Fuzzes the update reader for a while:  fuzz/run.sh BUILD_DIR SECONDS
# Makes the seed corpus with the writer, runs update_reader_fuzzer on a working copy of it, and fails on
# any crash, leak, timeout or memory limit. Prints the final libFuzzer statistics (executions, coverage).
set -euo pipefail

build_dir=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:-60}
fuzzer="$build_dir/fuzz/update_reader_fuzzer"
seeder="$build_dir/fuzz/make_seed_corpus"
for tool in "$fuzzer" "$seeder"; do
    [[ -x $tool ]] || { echo "fuzz/run.sh: $tool is missing; build it with 'make fuzz'" >&2; exit 1; }
done

seeds="$build_dir/fuzz-seeds"
corpus="$build_dir/fuzz-corpus"
artifacts="$build_dir/fuzz-artifacts"
log="$build_dir/fuzz.log"
rm -rf "$seeds" "$artifacts"
mkdir -p "$seeds" "$corpus" "$artifacts"
"$seeder" "$seeds"

# The reader writes a line on standard error for every unknown record tag: -close_fd_mask=2 silences
# the target's own output, libFuzzer's report goes to the log.
status=0
"$fuzzer" "$corpus" "$seeds" -dict="$(dirname "$0")/update_reader.dict" \
    -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=512 -malloc_limit_mb=512 -timeout=10 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?

stats=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 || true)
echo "fuzz/run.sh: progress (from $log):"
grep -E '^#[0-9]+' "$log" | tail -n 5 || true
grep -vE '^(#|"|stat::|INFO:|MERGE|\*\*\*|======|Done )' "$log" | grep -v '# Uses:' | tail -n 20 || true
echo "fuzz/run.sh: final: ${stats:-no statistics line}"
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true

if (( status != 0 )) || grep -qE 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY:' "$log" \
    || [[ -n $(ls -A "$artifacts") ]]; then
    echo "fuzz/run.sh: FAILED (exit $status); see $log and $artifacts" >&2
    exit 1
fi
echo "fuzz/run.sh: clean after $seconds s"
