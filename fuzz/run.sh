#!/usr/bin/env bash
# Runs every fuzz target for a while, side by side:  fuzz/run.sh BUILD_DIR SECONDS [--keep]
# Each target starts from its checked-in corpus (fuzz/corpus/TARGET) and the seeds make_seed_corpus
# writes, grows a working corpus under BUILD_DIR/fuzz-corpus/TARGET, and fails the run on any crash,
# leak, timeout, memory limit or sanitizer report. Prints each target's final libFuzzer statistics
# (executions, executions per second, coverage, corpus) and a summary table.
# --keep merges the grown corpus back into fuzz/corpus/TARGET, keeping only files that add
# coverage and are at most 4 KiB (what `make fuzz-long` does).
set -euo pipefail

build_dir=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS [--keep]}
seconds=${2:-60}
keep=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
targets=(update_reader device_input texts cli_arguments)

# Per target: the longest input, and the options that differ from the defaults below.
declare -A max_len=([update_reader]=4096 [device_input]=2048 [texts]=1024 [cli_arguments]=256)
declare -A extra=(
    # The reader writes a line on standard error for every unknown record tag.
    [update_reader]="-close_fd_mask=2"
    # A device script may push 3 MiB through the receive side; the target checks its own bound on the
    # memory that side holds.
    [device_input]="-rss_limit_mb=1536 -malloc_limit_mb=64"
    [texts]=""
    [cli_arguments]=""
)

seeder="$build_dir/fuzz/make_seed_corpus"
for tool in "$seeder" "${targets[@]/#/$build_dir/fuzz/}"; do
    [[ $tool == */make_seed_corpus ]] || tool="${tool}_fuzzer"
    [[ -x $tool ]] || { echo "fuzz/run.sh: $tool is missing; build it with 'make fuzz'" >&2; exit 1; }
done

seeds="$build_dir/fuzz-seeds"
rm -rf "$seeds"
"$seeder" "$seeds"

pids=()
for target in "${targets[@]}"; do
    corpus="$build_dir/fuzz-corpus/$target"
    artifacts="$build_dir/fuzz-artifacts/$target"
    rm -rf "$artifacts"
    mkdir -p "$corpus" "$artifacts" "$here/corpus/$target"
    dict=()
    [[ -f $here/$target.dict ]] && dict=(-dict="$here/$target.dict")
    # shellcheck disable=SC2086 # the extra options are words
    "$build_dir/fuzz/${target}_fuzzer" "$corpus" "$here/corpus/$target" "$seeds/$target" "${dict[@]}" \
        -max_total_time="$seconds" -max_len="${max_len[$target]}" -rss_limit_mb=512 -malloc_limit_mb=512 \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/" ${extra[$target]} \
        >"$build_dir/fuzz-$target.log" 2>&1 &
    pids+=($!)
done

failed=0
printf '%-16s %12s %10s %8s %8s %8s\n' target executions exec/s edges features corpus >"$build_dir/fuzz-summary.txt"
for i in "${!targets[@]}"; do
    target=${targets[$i]}
    log="$build_dir/fuzz-$target.log"
    status=0
    wait "${pids[$i]}" || status=$?
    echo "== $target (from $log):"
    grep -E '^#[0-9]+' "$log" | tail -n 3 || true
    grep -vE '^(#|"|stat::|INFO:|MERGE|\*\*\*|======|Done |DEVICE)' "$log" | grep -v '# Uses:' | tail -n 20 || true
    last=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 || true)
    stat() { grep -E "^stat::$1:" "$log" | awk '{print $2}' || true; }
    cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
    ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
    corp=$(sed -nE 's/.* corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$last")
    printf '%-16s %12s %10s %8s %8s %8s\n' "$target" "$(stat number_of_executed_units)" \
        "$(stat average_exec_per_sec)" "${cov:-?}" "${ft:-?}" "${corp:-?}" >>"$build_dir/fuzz-summary.txt"
    if ((status != 0)) || grep -qE 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY:' "$log" \
        || [[ -n $(ls -A "$build_dir/fuzz-artifacts/$target") ]]; then
        echo "fuzz/run.sh: $target FAILED (exit $status); see $log and $build_dir/fuzz-artifacts/$target" >&2
        failed=1
    fi
done
cat "$build_dir/fuzz-summary.txt"
((failed == 0)) || exit 1

if [[ $keep == --keep ]]; then
    for target in "${targets[@]}"; do
        # Only small files, and of those only the ones that add coverage to what is kept already.
        small="$build_dir/fuzz-small/$target"
        rm -rf "$small" && mkdir -p "$small"
        find "$build_dir/fuzz-corpus/$target" -type f -size -4097c -exec cp -t "$small" {} +
        # shellcheck disable=SC2086 # the extra options are words
        "$build_dir/fuzz/${target}_fuzzer" -merge=1 -max_len="${max_len[$target]}" ${extra[$target]} \
            "$here/corpus/$target" "$small" >"$build_dir/fuzz-merge-$target.log" 2>&1
        echo "fuzz/run.sh: fuzz/corpus/$target holds $(find "$here/corpus/$target" -type f | wc -l) files"
    done
fi
echo "fuzz/run.sh: all ${#targets[@]} targets clean after $seconds s each"
