#!/usr/bin/env bash
# Fetches Debian's kernel (never installed: the package is only unpacked into the cache),
# extracts the ELF vmlinux and builds the busybox initramfs that boots it for the kernel tests.
# Everything lands in $KTEST_DIR (default: <repo>/build-vm); a second run reuses it.
# Exits 77 with a SKIPPED line when something it needs cannot be had on this machine.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
KTEST_DIR=${KTEST_DIR:-$repo/build-vm}
cache=$KTEST_DIR/kernel

skip() {
    echo "SKIPPED: kernel tests: $*"
    exit 77
}

for tool in apt-get apt-cache dpkg-deb depmod modprobe cpio busybox xz gzip; do
    command -v "$tool" > /dev/null 2>&1 || skip "'$tool' is not available (make deps installs it)"
done
is_static() { case "$(LC_ALL=C ldd "$1" 2>&1)" in *'not a dynamic executable'*) return 0 ;; esac; return 1; }
busybox_bin=$(command -v busybox)
if ! is_static "$busybox_bin"; then
    is_static /bin/busybox && busybox_bin=/bin/busybox || skip "busybox is not the static build (install busybox-static)"
fi

mkdir -p "$cache"

# The kernel package: the one linux-image-amd64 depends on, unless KTEST_KERNEL_PACKAGE names one.
package=${KTEST_KERNEL_PACKAGE:-}
if [ -z "$package" ]; then
    package=$(apt-cache depends linux-image-amd64 2> /dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
    [ -n "$package" ] || skip "apt-cache does not know linux-image-amd64 (no Debian package lists?)"
fi
stamp=$cache/ready-$package
root=$cache/root-$package
if [ ! -f "$stamp" ]; then
deb=$(ls "$cache"/"$package"_*.deb 2> /dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
    echo "prepare: fetching $package"
    (cd "$cache" && apt-get download "$package" > /dev/null 2> "$cache/download.log") ||
        skip "could not download $package (see $cache/download.log)"
    deb=$(ls "$cache"/"$package"_*.deb | head -n 1)
fi

rm -rf "$root"
dpkg-deb -x "$deb" "$root"
version=$(ls "$root/lib/modules" | head -n 1)
[ -n "$version" ] || skip "$package holds no modules"

# Compressed modules (.ko.xz / .ko.zst in newer packages) are decompressed here, so the initramfs
# needs no decompressor and busybox insmod takes them as they are.
find "$root/lib/modules/$version" -name '*.ko.xz' -exec xz -d -f {} +
find "$root/lib/modules/$version" -name '*.ko.zst' -exec zstd -q -d --rm -f {} + 2> /dev/null || true
find "$root/lib/modules/$version" -name '*.ko.gz' -exec gzip -d -f {} +
depmod -b "$root" "$version"

echo "prepare: extracting vmlinux from the bzImage"
"$here/extract-vmlinux.sh" "$root/boot/vmlinuz-$version" "$cache/vmlinux-$version"
touch "$stamp"
fi
version=$(ls "$root/lib/modules" | head -n 1)

# The modules the tests need, with their dependencies in load order, each once.
wanted=(
    virtio_pci 9pnet_virtio 9p
    snd-seq snd-seq-dummy snd-virmidi snd-seq-midi snd-rawmidi snd-seq-midi-event
    configfs dummy_hcd libcomposite usb_f_midi snd-usb-audio
)
initramfs_dir=$cache/initramfs-$version
rm -rf "$initramfs_dir"
mkdir -p "$initramfs_dir"/{bin,dev,proc,sys,host,lib/modules}
modprobe -d "$root" -S "$version" --show-depends -a "${wanted[@]}" |
    awk '$1 == "insmod" && !seen[$2]++ { print $2 }' > "$cache/modules.order"
: > "$initramfs_dir/modules.list"
while read -r path; do
    name=$(basename "$path")
    cp "$path" "$initramfs_dir/lib/modules/$name"
    echo "$name" >> "$initramfs_dir/modules.list"
done < "$cache/modules.order"

cp "$busybox_bin" "$initramfs_dir/bin/busybox"
cp "$here/vm-init.sh" "$initramfs_dir/init"
chmod +x "$initramfs_dir/init"
(cd "$initramfs_dir" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) | gzip -1 > "$cache/initramfs-$version.cpio.gz"

# The small tools the in-VM scripts use, built for this machine (the VM runs its binaries).
mkdir -p "$KTEST_DIR/tools"
for tool in rawmidi-capture rawmidi-send; do
    if [ ! -x "$KTEST_DIR/tools/$tool" ] || [ "$here/$tool.c" -nt "$KTEST_DIR/tools/$tool" ]; then
        cc -O2 -Wall -Wextra -o "$KTEST_DIR/tools/$tool" "$here/$tool.c" -lasound ||
            skip "cannot build $tool (needs a C compiler and libasound2-dev)"
    fi
done

# What run-in-vm.sh boots.
ln -sf "vmlinux-$version" "$cache/vmlinux"
ln -sf "initramfs-$version.cpio.gz" "$cache/initramfs.cpio.gz"
echo "prepare: kernel $version ready in $cache ($(wc -l < "$initramfs_dir/modules.list") modules)"
