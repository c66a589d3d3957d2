#!/usr/bin/env bash
# midi-updater-cli --help for the tool and each command, and --version.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# expect_help CASE ARGS... -- OPTION...: ARGS exit 0 with help on stdout naming every OPTION.
expect_help() {
    local case=$1
    shift
    local args=()
    while [ "$1" != "--" ]; do
        args+=("$1")
        shift
    done
    shift
    run "${args[@]}"
    expect_status "$case" 0
    for option in "$@"; do
        expect_contains "$case names $option" "$WORK/stdout" "$option"
    done
}

expect_help "tool --help" --help -- "Usage:" inspect extract pack --version --help
expect_help "tool -h" -h -- inspect extract pack
expect_help "inspect --help" inspect --help -- "inspect" FILE --json
expect_help "extract --help" extract --help -- "extract" FILE --portion --image --output "-o"
expect_help "pack --help" pack --help -- "pack" --output "-o" --product --version --message --usb-address \
    --mac-ports --win-params --portion --image
# Help wins over missing required options.
expect_help "pack -h alone" pack -h -- --product

run --version
expect_status "--version" 0
expect_contains "--version prints the library version" "$WORK/stdout" "1.00"
expect_contains "--version prints the build" "$WORK/stdout" "GM"
expect_file_text "--version line" "$WORK/stdout" "midi-updater-cli 1.00 (GM)"

finish
