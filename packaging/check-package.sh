#!/usr/bin/env bash
# Checks a built package the way a user meets it:  packaging/check-package.sh midi-updater_V_ARCH.deb
# lintian (no error, no warning), the desktop file and the AppStream metadata validated, then, as
# root, installed with apt, used (both programs, the manual pages, the file types and the program
# that opens them), removed, and checked to have left nothing behind.
set -euo pipefail

deb=$(realpath "${1:?usage: packaging/check-package.sh PACKAGE.deb}")
[[ $(id -u) == 0 ]] || { echo "check-package: run as root (it installs and removes the package)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # check WHAT COMMAND...: runs the command, says what it checked
    if "${@:2}"; then echo "check-package: ok: $1"; else echo "check-package: FAILED: $1" >&2; failures=$((failures + 1)); fi
}
equals() { [[ $1 == "$2" ]] || { echo "  expected '$2', got '$1'" >&2; return 1; }; }

# --- the package as a file ---
check "lintian: no error, no warning" lintian --fail-on error,warning "$deb"
dpkg-deb -x "$deb" "$work/tree"
check "desktop-file-validate" desktop-file-validate "$work/tree/usr/share/applications/midi-updater.desktop"
check "appstreamcli validate --no-net" appstreamcli validate --no-net "$work"/tree/usr/share/metainfo/*.metainfo.xml

# --- installed, with its dependencies alone ---
dpkg -s midi-updater >/dev/null 2>&1 && apt-get purge -y -qq midi-updater >/dev/null
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }
mapfile -t installed < <(dpkg -L midi-updater | while read -r path; do [[ -f $path ]] && echo "$path"; done)
echo "check-package: installed ${#installed[@]} files"

version=$(/usr/bin/midi-updater-cli --version)
# shellcheck disable=SC2016 # $0 is expanded by the inner shell
check "midi-updater-cli --version: $version" bash -c '[[ $0 == "midi-updater-cli "[0-9]* ]]' "$version"
example=/usr/share/doc/midi-updater/examples/kelva-demo.upd
check "update --simulate of the example ends accepted" \
    bash -c "/usr/bin/midi-updater-cli update --simulate --yes --sim-busy 0 --json '$example' | tail -n 1 \
             | grep -q '^{\"event\":\"completed\"'"
check "man -w midi-updater" man -w midi-updater
check "man -w midi-updater-cli" man -w midi-updater-cli
check "midi-updater --version, the same" equals "midi-updater-cli $(/usr/bin/midi-updater --version)" "$version"
# The window, drawn by the platform plugin the package depends on, on a virtual X display.
check "the window runs an update and draws itself" \
    xvfb-run -a /usr/bin/midi-updater --simulate --screenshot "$work/window.png" "$example" 2>"$work/window.log"
check "the window's picture was written" test -s "$work/window.png"

# File types: an update file by its name and, renamed, by its leading bytes; a SysEx file by its
# name; and the program the desktop opens them with.
cp "$example" "$work/update.upd"
cp "$example" "$work/no-extension"
printf '\xf0\x00\x20\x31\x01\xf7' >"$work/firmware.syx"
check "xdg-mime: .upd" equals "$(xdg-mime query filetype "$work/update.upd")" application/x-midi-updater-update
check "xdg-mime: update file without a name" equals "$(xdg-mime query filetype "$work/no-extension")" \
    application/x-midi-updater-update
check "xdg-mime: .syx" equals "$(xdg-mime query filetype "$work/firmware.syx")" application/x-sysex
check "opened with midi-updater.desktop" equals \
    "$(xdg-mime query default application/x-midi-updater-update)" midi-updater.desktop

# --- removed ---
apt-get purge -y -qq midi-updater >"$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; exit 1; }
check "dpkg knows it no more" bash -c '! dpkg -s midi-updater >/dev/null 2>&1'
left=()
for path in "${installed[@]}"; do [[ -e $path ]] && left+=("$path"); done
check "none of its ${#installed[@]} files is left" equals "${left[*]}" ""
check "the update file type is gone" bash -c "[[ \$(xdg-mime query filetype '$work/no-extension') != \
    application/x-midi-updater-update ]]"

((failures == 0)) || { echo "check-package: $failures check(s) failed" >&2; exit 1; }
echo "check-package: all checks passed"
