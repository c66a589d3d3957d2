#!/usr/bin/env bash
# Packs the checked-in example portions into kelva-demo.upd.
#
# Usage: make-examples.sh CLI [OUTDIR]
#   CLI     the midi-updater-cli binary
#   OUTDIR  where to write kelva-demo.upd (default: this folder)
# The result depends only on the inputs in this folder, so running it again gives the same bytes.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 CLI [OUTDIR]" >&2
    exit 2
fi
cli=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
outdir=${2:-$here}
mkdir -p "$outdir"

"$cli" pack -o "$outdir/kelva-demo.upd" \
    --product "Ostrel Kelva" \
    --version 1.05 \
    --message "Firmware 1.05 for the Ostrel Kelva (demo). Keep the device connected until the update has completed." \
    --usb-address 1,2,3 \
    --mac-ports 'Ostrel Kelva$Ostrel Dramlin' \
    --win-params 'win:any:name:Ostrel Kelva$Ostrel Dramlin:ideal:1024:max:3072:delay:200' \
    --portion "$here/kelva-1.syx@1500" \
    --portion "$here/kelva-2.syx@1000" \
    --portion "$here/kelva-3.syx@0" \
    --image "$here/kelva-image.bin"
echo "wrote $outdir/kelva-demo.upd"
