#!/bin/busybox sh
# /init of the kernel-test VM: loads the sound, USB-gadget and 9p modules, mounts the host's
# root read-only and the project folder read-write over 9p, chroots into the host's root, runs
# the command run-in-vm.sh wrote into its run folder, stores its exit status there and powers off.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

say() { echo "vm-init: $*" > /dev/console; }

for arg in $(cat /proc/cmdline); do
    case "$arg" in
        ktest.work=*) work=${arg#ktest.work=} ;;
        ktest.run=*) run=${arg#ktest.run=} ;;
    esac
done

while read -r module; do
    case "$module" in
        # Two USB device controllers (dummy_udc.0 and .1), so a second USB MIDI device can be
        # plugged in beside the Ostrel Kelva.
        dummy_hcd.ko) params="num=2" ;;
        *) params= ;;
    esac
    insmod "/lib/modules/$module" $params || say "insmod $module $params failed"
done < /modules.list
mount -t configfs configfs /sys/kernel/config

finish() {
    echo "KTEST-STATUS: $1" > /dev/console
    sync
    poweroff -f
}

opts=trans=virtio,version=9p2000.L,msize=262144,cache=loose
if ! mount -t 9p -o "ro,$opts" hostroot /host; then
    say "cannot mount the host's root"
    finish 125
fi
# Fresh /tmp and /run first: the project folder may itself lie below one of them (CI clones anywhere),
# and must stay visible on top.
mount -t tmpfs tmpfs /host/tmp
mount -t tmpfs tmpfs /host/run
mkdir -p "/host$work" 2> /dev/null
if ! mount -t 9p -o "rw,$opts" work "/host$work"; then
    say "cannot mount $work"
    finish 125
fi
mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys
mount -t configfs configfs /host/sys/kernel/config
mount -t devtmpfs devtmpfs /host/dev
mkdir -p /host/dev/pts /host/dev/shm 2> /dev/null
mount -t devpts devpts /host/dev/pts
mount -t tmpfs tmpfs /host/dev/shm

say "up after $(cut -d' ' -f1 /proc/uptime) s"
chroot /host /usr/bin/env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root TERM=dumb LANG=C.UTF-8 TMPDIR=/tmp KTEST_IN_VM=1 \
    /bin/bash "$run/command.sh" < /dev/null > /dev/console 2>&1
status=$?
echo "$status" > "/host$run/status"
say "command finished after $(cut -d' ' -f1 /proc/uptime) s"
finish "$status"
