#!/usr/bin/env bash
# Installs, from Debian's packages, what a task needs:  scripts/install-deps.sh [cli|programs|all]
#   cli       building and running the command-line tool (what `make demo` needs)
#   programs  that, and the window's Qt 6 (what `make build`'s programs and `make package` need)
#   all       that, and what the tests, sanitizers, kernel tests, fuzzing and package checks add
#             (the default; `make test` and CI use it)
# Idempotent: packages already present are not touched, and apt is not called at all when nothing
# is missing.
set -euo pipefail

group=${1:-all}
cli=(
    build-essential cmake ninja-build pkg-config make
    libcli11-dev nlohmann-json3-dev libasound2-dev
)
programs=(qt6-base-dev libgl-dev)
tests=(
    clang libclang-rt-14-dev clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    alsa-utils xvfb xauth time jq python3
    qemu-system-x86 busybox-static cpio kmod xz-utils zstd
    # checking the Debian package
    lintian desktop-file-utils appstream xdg-utils libfile-mimeinfo-perl shared-mime-info man-db
)
case $group in
    cli) packages=("${cli[@]}") ;;
    programs) packages=("${cli[@]}" "${programs[@]}") ;;
    all) packages=("${cli[@]}" "${programs[@]}" "${tests[@]}") ;;
    *) echo "usage: scripts/install-deps.sh [cli|programs|all]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: everything for '$group' is present"
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

echo "install-deps: installing for '$group': ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
