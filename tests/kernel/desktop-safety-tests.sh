#!/usr/bin/env bash
# The updater on a machine that looks like a Linux desktop, inside the kernel-test VM: other MIDI
# ports beside the Ostrel Kelva (Midi Through, virmidi, the gadget's own end, a software client), a
# second USB MIDI device, a port another program holds, a device unplugged while a portion is on
# its way, and no sequencer or no permission to use it. What the device end received is compared
# with what was sent, byte for byte; where nothing may be sent, that nothing arrived.
# usage: desktop-safety-tests.sh CLI DATA_DIR   (DATA_DIR as run-kernel-tests.sh prepares it)
source "$(dirname "$0")/../../tools/kernel-vm/lib.sh"
cli=$1
data=$2
work=$(mktemp -d)

if ! "$cli" update --help > /dev/null 2>&1 || ! "$cli" simulate --help 2>&1 | grep -q -- --rawmidi; then
    echo "SKIPPED: desktop-safety kernel tests: $cli has no 'update' command or no 'simulate --rawmidi' yet"
    exit 77
fi
if [ ! -f "$data/single-64k.syx" ] || [ ! -f "$data/all-1m.syx" ] || [ ! -f "$data/cut-8m.syx" ]; then
    echo "SKIPPED: desktop-safety kernel tests: no test files in $data"
    exit 77
fi

accepted="was updated sucessfully to version"
send_error="There was an error sending the update file."
status_events() { grep -E '"event": ?"status"' "$work/$1.json" | cut -d' ' -f2-; }
# ms_since START_US: milliseconds since a ${EPOCHREALTIME/./} stamp.
ms_since() { echo $(((${EPOCHREALTIME/./} - $1) / 1000)); }
# run_cli NAME COMMAND_ARGS...: midi-updater-cli in the foreground, bounded; stdout, stderr and the
# exit status in $work/NAME.{out,err,rc}.
run_cli() {
    local name=$1
    shift
    timeout -k 5 120 "$cli" "$@" > "$work/$name.out" 2> "$work/$name.err"
    echo $? > "$work/$name.rc"
}
exit_status_is() { # NAME STATUS
    local got
    got=$(cat "$work/$1.rc")
    [ "$got" = "$2" ] && return 0
    echo "  $1: exit $got (wanted $2); output:"
    tail -n 6 "$work/$1.out" "$work/$1.err" | sed 's/^/    /'
    return 1
}
# mentions FILE WORD...: FILE holds every WORD (case-insensitive, fixed strings).
mentions() {
    local file=$1 word
    shift
    for word in "$@"; do
        if ! grep -q -i -F -- "$word" "$file"; then
            echo "  no \"$word\" in $file:"
            sed 's/^/    /' "$file" | tail -n 8
            return 1
        fi
    done
}
not() { ! "$@"; }
kernel_client_of_card() { aconnect -l | grep -q "type=kernel,card=$1]"; }
nothing_received() { # RECORD: the device end got no byte
    [ ! -s "$1" ] && return 0
    echo "  $1 holds $(stat -c %s "$1") bytes"
    return 1
}
# device_end_rx CARD: sets rx to the bytes the raw MIDI input of CARD has received since it was
# opened. Builtins only, as is pause: under emulation, with the updater and the simulated device
# busy on both processors, each fork can take longer than the portion takes to go.
device_end_rx() {
    local line inside=0
    rx=0
    while IFS= read -r line; do
        case "$line" in
            Input*) inside=1 ;;
            Output*) inside=0 ;;
            *"Rx bytes"*) [ $inside = 1 ] && rx=${line##* } && return 0 ;;
        esac
    done < "/proc/asound/card$1/midi0"
}
mkfifo "$work/pause"
exec {pause_fd}<> "$work/pause"
pause() { read -r -t "$1" -u "$pause_fd"; }

ktest_check "the gadget is up" gadget_up

# ---- 1. a raw .syx names no port: it goes to the one USB MIDI device, and nowhere else ----------
through=$(seq_client_number "Midi Through")
ktest_check "Midi Through is there (client ${through:-none})" test -n "$through"
ktest_check "snd-virmidi's ports are there ($(grep -c '^Client.*"Virtual Raw MIDI' /proc/asound/seq/clients) clients)" \
    grep -q '^Client.*"Virtual Raw MIDI' /proc/asound/seq/clients
ktest_check "the gadget's own end is a sequencer client too (card $GADGET_CARD_ID)" \
    kernel_client_of_card "$(card_by_id "$GADGET_CARD_ID")"
# A software client too, recording what it gets.
env --default-signal=INT,TERM "$cli" simulate --sim-name "Kelva Software" --sim-record "$work/noport-soft.rec" \
    > "$work/noport-soft.sim.log" 2>&1 &
soft_pid=$!
wait_seq_client "Kelva Software" 20 || ktest_fail "the software client \"Kelva Software\" did not appear"
aconnect -l | grep '^client'
sim_start noport "$work/noport.rec"
update_start noport "$data/single-64k.syx" --verbose
update_wait noport > /dev/null
sim_stop || ktest_fail "the simulated device stopped cleanly (no port named)"
sim_stop "$soft_pid" "$work/noport-soft.sim.log" || ktest_fail "the software client stopped cleanly"
ktest_check "64 KiB .syx without --port: accepted, exit 0" check_update noport 0 completed "$accepted"
ktest_check "64 KiB .syx without --port: says it uses the only USB MIDI device, \"Ostrel Kelva\"" \
    grep -q -F 'Using the only USB MIDI device, "Ostrel Kelva" (port "Ostrel Kelva MIDI 1")' "$work/noport.err"
ktest_check "64 KiB .syx without --port: \"Ostrel Kelva\" received it byte-identical" \
    same_bytes "$data/single-64k.syx" "$work/noport.rec"
ktest_check "64 KiB .syx without --port: the software client received nothing" nothing_received "$work/noport-soft.rec"

# ---- 2. two USB MIDI devices: nothing is sent until the user chooses one ------------------------
if ktest_check "a second USB MIDI device, \"$SECOND_GADGET_PRODUCT\", is plugged in" second_gadget_up; then
    sim_start two-kelva "$work/two-kelva.rec"
    kelva_pid=$sim_pid
    kelva_log=$sim_log
    sim_start_on "$SECOND_GADGET_CARD_ID" two-brenna "$work/two-brenna.rec"
    started=${EPOCHREALTIME/./}
    run_cli two update "$data/single-64k.syx" --yes
    ktest_log "two devices: exit $(cat "$work/two.rc") after $(ms_since "$started") ms"
    run_cli two-json update "$data/single-64k.syx" --yes --json
    sim_stop "$kelva_pid" "$kelva_log" || ktest_fail "the simulated Ostrel Kelva stopped cleanly"
    sim_stop || ktest_fail "the simulated $SECOND_GADGET_PRODUCT stopped cleanly"
    ktest_check "two USB MIDI devices, no port named: exit 2" exit_status_is two 2
    ktest_check "two USB MIDI devices: stderr names both and asks for --port" \
        mentions "$work/two.err" "Ostrel Kelva" "$SECOND_GADGET_PRODUCT" "--port"
    grep -E '"event": ?"error"' "$work/two-json.out" > "$work/two-json.error"
    ktest_check "two USB MIDI devices, --json: exit 2" exit_status_is two-json 2
    ktest_check "two USB MIDI devices, --json: an error event names both and asks for --port" \
        mentions "$work/two-json.error" "Ostrel Kelva" "$SECOND_GADGET_PRODUCT" "--port"
    ktest_check "two USB MIDI devices: \"Ostrel Kelva\" received nothing" nothing_received "$work/two-kelva.rec"
    ktest_check "two USB MIDI devices: \"$SECOND_GADGET_PRODUCT\" received nothing" nothing_received "$work/two-brenna.rec"
    ktest_check "the second USB MIDI device is unplugged again" second_gadget_unplug
fi

# ---- 3. a port another program holds (a DAW's or a sound server's connection) -------------------
ktest_check "Midi Through holds a write connection to \"Ostrel Kelva\"" aconnect "Midi Through:0" "Ostrel Kelva:0"
sim_start busy "$work/busy.rec"
started=${EPOCHREALTIME/./}
update_start busy "$data/single-64k.syx" --port "Ostrel Kelva"
update_wait busy > /dev/null
busy_ms=$(ms_since "$started")
echo "FIGURE: busy port: the error verdict after $busy_ms ms (6 attempts, 5 s apart)"
status_events busy > "$work/busy.status"
grep -F "Midi Through" "$work/busy.status" > "$work/busy.holder"
ktest_check "busy port: the error verdict, exit 1" check_update busy 1 error "$send_error"
ktest_check "busy port: a status names the holder, \"Midi Through\" (client $through)" \
    mentions "$work/busy.holder" '\"Midi Through\"' "client $through"
ktest_check "busy port: that status is shown once ($(wc -l < "$work/busy.holder") times)" \
    test "$(wc -l < "$work/busy.holder")" -eq 1
ktest_check "busy port: no \"sent successfully\" status" not grep -q -F "MIDI update sent successfully." "$work/busy.json"
ktest_check "busy port: the verdict within the retries' time (25 to 45 s: $busy_ms ms)" \
    test "$busy_ms" -ge 25000 -a "$busy_ms" -le 45000

# Ctrl-C while the update waits to try again.
env --default-signal=INT,TERM "$cli" update "$data/single-64k.syx" --port "Ostrel Kelva" --yes --json \
    > "$work/busy-int.json" 2> "$work/busy-int.err" &
int_pid=$!
deadline=$(($(date +%s) + 30))
until grep -q -F "Midi Through" "$work/busy-int.json" || [ "$(date +%s)" -gt "$deadline" ]; do sleep 0.1; done
sleep 2
(sleep 15 && kill -KILL "$int_pid" 2> /dev/null) &
watchdog=$!
signalled=${EPOCHREALTIME/./}
kill -INT "$int_pid"
wait "$int_pid"
int_status=$?
int_ms=$(ms_since "$signalled")
kill "$watchdog" 2> /dev/null
wait "$watchdog" 2> /dev/null
echo "FIGURE: busy port: exit $int_status $int_ms ms after SIGINT"
ktest_check "busy port, Ctrl-C during the wait: exit 130 (got $int_status)" test "$int_status" = 130
ktest_check "busy port, Ctrl-C during the wait: ended within 1 s of the signal ($int_ms ms)" test "$int_ms" -le 1000

ktest_check "the connection from Midi Through is removed" aconnect -d "Midi Through:0" "Ostrel Kelva:0"
# The port is free again: 4 KiB go through, and they are all the device end ever received.
update_start after-busy "$data/other-4k.syx" --port "Ostrel Kelva"
update_wait after-busy > /dev/null
sim_stop || ktest_fail "the simulated device stopped cleanly (busy port)"
ktest_check "after the busy runs the port takes an update: accepted" check_update after-busy 0 completed "$accepted"
ktest_check "the busy runs sent no byte: the device received only the 4 KiB sent after them" \
    same_bytes "$data/other-4k.syx" "$work/busy.rec"

# ---- 4. unplugged while an 8 MiB portion is on its way, replugged a few seconds later -----------
# 8 MiB: the delivery runs at about 1.5 MiB/s here, and unbinding the gadget can let bytes through
# for 0.6 s before the device goes, so a 1 MiB portion could be complete by then.
cut_file=$data/cut-8m.syx
size=$(stat -c %s "$cut_file")
sim_start cut-1 "$work/cut-1.rec"
dev_card=$(card_by_id "$GADGET_CARD_ID")
update_start cut "$cut_file" --port "Ostrel Kelva"
# The count goes on from the earlier parts' bytes to the same card.
device_end_rx "$dev_card"
rx0=$rx
give_up=$((SECONDS + 60))
while [ $((rx - rx0)) -lt 200000 ] && [ "$SECONDS" -le "$give_up" ]; do
    pause 0.02
    device_end_rx "$dev_card"
done
cut_at=$((rx - rx0))
unplugged=${EPOCHREALTIME/./}
ktest_log "the device end has received $cut_at bytes: unplugging"
# When the host sees the device go: unbinding the gadget can take a while first (its end's card is
# torn down), and the updater can only fail once the host side has gone.
host_device=$(ls -d "$(dummy_root_hub)"/[0-9]*-1 | head -n 1)
(
    while [ -e "$host_device" ]; do pause 0.01; done
    echo "${EPOCHREALTIME/./}" > "$work/host-gone"
) &
echo "" > "$GADGET_DIR/UDC" || ktest_fail "unplug"
ktest_log "unbound from the UDC after $(ms_since "$unplugged") ms"
while [ "$(ms_since "$unplugged")" -lt 1500 ]; do sleep 0.1; done
if ! grep -q "disconnected" "$work/cut.json"; then
    echo "  no failed send 1.5 s after the unplug; the updater's threads:"
    for pid in $(pgrep -f "midi-updater-cli update $cut_file"); do
        for task in /proc/"$pid"/task/*; do
            echo "    thread ${task##*/}: $(awk '{print $3}' "$task/stat") in $(cat "$task/wchan" 2> /dev/null)"
            sed -n '1,8s/^/      /p' "$task/stack" 2> /dev/null
        done
    done
fi
wait_seq_client_gone "$GADGET_PRODUCT" 30 || ktest_fail "the device's client went after the unplug"
ktest_log "the device's client has gone"
sim_stop || ktest_fail "the simulated device stopped cleanly after the unplug"
while [ "$(ms_since "$unplugged")" -lt 3000 ]; do sleep 0.2; done
ktest_log "replugging"
gadget_plug_held || ktest_fail "replug"
sim_start cut-2 "$work/cut-2.rec" || ktest_fail "the simulated device did not open the device end after the replug"
gadget_release || ktest_fail "release of the replug"
update_wait cut > /dev/null
sim_stop || ktest_fail "the simulated device stopped cleanly after the replug"
# The failed send's status: the device was disconnected.
failure=$(awk -v t="$unplugged" '$1 >= t && /"event": ?"status"/ && /disconnected/' "$work/cut.json" | head -n 1)
echo "  the failed send's status: ${failure:-none}"
host_gone=$(cat "$work/host-gone" 2> /dev/null || echo "$unplugged")
echo "FIGURE: unplugged mid-portion: the host saw the device go $(((host_gone - unplugged) / 1000)) ms after the unplug began"
failure_ms=
[ -n "$failure" ] && failure_ms=$((($(echo "$failure" | cut -d' ' -f1) - host_gone) / 1000))
echo "FIGURE: unplugged mid-portion: the failed send reported ${failure_ms:-never} ms after the host saw the device go"
cut_rec=$(stat -c %s "$work/cut-1.rec" 2> /dev/null || echo 0)
ktest_check "unplugged mid-portion: the device had $cut_rec of $size bytes when it went" \
    test "$cut_rec" -gt 0 -a "$cut_rec" -lt "$size"
ktest_check "unplugged mid-portion: what arrived before is the portion's start, unspoilt" \
    cmp -s -n "$cut_rec" "$work/cut-1.rec" "$cut_file"
ktest_check "unplugged mid-portion: a status says the device was disconnected" test -n "$failure"
# Nothing may wait on the bytes that will never leave (closing an unplugged raw MIDI device waits
# 10 s in the kernel).
ktest_check "unplugged mid-portion: the failed send reported within 3 s of the host seeing the device go (${failure_ms:-never} ms)" \
    test -n "$failure_ms" -a "${failure_ms:-0}" -le 3000
ktest_check "unplugged mid-portion and replugged: accepted, exit 0" check_update cut 0 completed "$accepted"
ktest_check "unplugged mid-portion and replugged: the replugged device received the whole 8 MiB byte-identical" \
    same_bytes "$cut_file" "$work/cut-2.rec"

# ---- 5. no sequencer, no permission ------------------------------------------------------------
# /dev/snd hidden, as on a machine without the snd-seq module.
unshare -m sh -c 'mount -t tmpfs none /dev/snd && exec "$@"' sh "$cli" list > "$work/noseq.out" 2> "$work/noseq.err"
echo $? > "$work/noseq.rc"
cat "$work/noseq.out" "$work/noseq.err" > "$work/noseq.all"
ktest_check "no /dev/snd/seq: list exits 1" exit_status_is noseq 1
ktest_check "no /dev/snd/seq: says the sequencer is missing and names snd-seq" mentions "$work/noseq.all" "snd-seq"
unshare -m sh -c 'mount -t tmpfs none /dev/snd && exec "$@"' sh "$cli" update "$data/single-64k.syx" --yes \
    > "$work/noseq-update.out" 2> "$work/noseq-update.err"
echo $? > "$work/noseq-update.rc"
cat "$work/noseq-update.out" "$work/noseq-update.err" > "$work/noseq-update.all"
ktest_check "no /dev/snd/seq: update exits 1" exit_status_is noseq-update 1
ktest_check "no /dev/snd/seq: update names snd-seq" mentions "$work/noseq-update.all" "snd-seq"

# A user without access to /dev/snd (the VM has no udev rules: the nodes are root's, mode 600).
ls -l /dev/snd/seq
if [ "$(stat -c %a /dev/snd/seq)" = 600 ]; then
    nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    "${nobody[@]}" "$cli" list > "$work/noperm.out" 2> "$work/noperm.err"
    echo $? > "$work/noperm.rc"
    cat "$work/noperm.out" "$work/noperm.err" > "$work/noperm.all"
    ktest_check "no permission for /dev/snd/seq: list exits 1" exit_status_is noperm 1
    ktest_check "no permission for /dev/snd/seq: says so and what gives access (/dev/snd, the audio group)" \
        mentions "$work/noperm.all" "/dev/snd" "audio"
    "${nobody[@]}" "$cli" update "$data/single-64k.syx" --yes > "$work/noperm-update.out" 2> "$work/noperm-update.err"
    echo $? > "$work/noperm-update.rc"
    cat "$work/noperm-update.out" "$work/noperm-update.err" > "$work/noperm-update.all"
    ktest_check "no permission for /dev/snd/seq: update exits 1" exit_status_is noperm-update 1
    ktest_check "no permission for /dev/snd/seq: update says so" mentions "$work/noperm-update.all" "/dev/snd" "audio"
else
    ktest_fail "/dev/snd/seq is mode $(stat -c %a /dev/snd/seq) here, not root's alone: the no-permission case cannot be made"
fi

dmesg | grep -i -E 'oops|BUG|WARNING' | tail -n 20 || true
ktest_summary
