#!/usr/bin/env bash
# midi-updater-cli on a machine that looks like a Linux desktop, in the VM: other MIDI ports beside the
# Ostrel Kelva (Midi Through, virmidi, the gadget's own end, a software client), a second USB MIDI
# device, a port another program holds, a device unplugged amid a portion, no sequencer or no permission.
# Catches: bytes sent to the wrong port or none where some must go (records compared byte for byte),
# sending before the user chose between two devices, wrong exit statuses, verdicts and texts, a busy
# port not naming its holder or retried too long or too short, Ctrl-C not ending the wait at once, a
# cut portion's failure reported late or its bytes spoilt.
# usage: desktop-safety-tests.sh CLI DATA_DIR   (DATA_DIR as run-kernel-tests.sh prepares it)
source "$(dirname "$0")/../../tools/kernel-vm/lib.sh"
cli=$1
data=$2
work=$(mktemp -d)
[ -f "$data/cut-8m.syx" ] || { echo "SKIPPED: desktop-safety kernel tests: no test files in $data"; exit 77; }
ktest_check "the gadget is up" gadget_up

# ---- 1. a raw .syx names no port: it goes to the one USB MIDI device, and nowhere else ----------
through=$(seq_client_number "Midi Through")
ktest_check "Midi Through is there (client ${through:-none})" test -n "$through"
ktest_check "snd-virmidi's ports are there" grep -q '^Client.*"Virtual Raw MIDI' /proc/asound/seq/clients
ktest_check "the gadget's own end is a sequencer client too" \
    sh -c "aconnect -l | grep -q 'type=kernel,card=$(card_by_id "$GADGET_CARD_ID")]'"
soft_client_start "$work/soft.rec"
soft_pid=$sim_pid soft_log=$sim_log
sim_start noport "$work/noport.rec"
update_run noport "$data/single-64k.syx" --verbose
sim_stop || ktest_fail "the simulated device stopped cleanly (no port named)"
sim_stop "$soft_pid" "$soft_log" || ktest_fail "the software client stopped cleanly"
ktest_check "64 KiB .syx without --port: says it uses the only USB MIDI device" \
    grep -q -F 'Using the only USB MIDI device, "Ostrel Kelva" (port "Ostrel Kelva MIDI 1")' "$work/noport.err"
check_delivered noport "64 KiB .syx without --port" "$data/single-64k.syx" "$work/noport.rec"
ktest_check "64 KiB .syx without --port: the software client received nothing" nothing_received "$work/soft.rec"

# ---- 2. two USB MIDI devices: nothing is sent until the user chooses one ------------------------
if ktest_check "a second USB MIDI device, \"$SECOND_GADGET_PRODUCT\", is plugged in" second_gadget_up; then
    sim_start two-kelva "$work/two-kelva.rec"
    kelva_pid=$sim_pid kelva_log=$sim_log
    sim_start_on "$SECOND_GADGET_CARD_ID" two-brenna "$work/two-brenna.rec"
    run two "$cli" update "$data/single-64k.syx" --yes
    run two-json "$cli" update "$data/single-64k.syx" --yes --json
    sim_stop "$kelva_pid" "$kelva_log" || ktest_fail "the simulated Ostrel Kelva stopped cleanly"
    sim_stop || ktest_fail "the simulated $SECOND_GADGET_PRODUCT stopped cleanly"
    grep -E '"event": ?"error"' "$work/two-json.out" > "$work/two-json.error"
    for name in two two-json; do
        ktest_check "two USB MIDI devices, no port named ($name): exit 2" exits $name 2
    done
    ktest_check "two USB MIDI devices: stderr names both and asks for --port" \
        mentions "$work/two.err" "Ostrel Kelva" "$SECOND_GADGET_PRODUCT" "--port"
    ktest_check "two USB MIDI devices, --json: an error event names both and asks for --port" \
        mentions "$work/two-json.error" "Ostrel Kelva" "$SECOND_GADGET_PRODUCT" "--port"
    for rec in two-kelva two-brenna; do
        ktest_check "two USB MIDI devices: $rec received nothing" nothing_received "$work/$rec.rec"
    done
    ktest_check "the second USB MIDI device is unplugged again" second_gadget_unplug
fi

# ---- 3. a port another program holds (a DAW's or a sound server's connection) -------------------
ktest_check "Midi Through holds a write connection to \"Ostrel Kelva\"" aconnect "Midi Through:0" "Ostrel Kelva:0"
sim_start busy "$work/busy.rec"
started=${EPOCHREALTIME/./}
update_run busy "$data/single-64k.syx" --port "Ostrel Kelva"
busy_ms=$(ms_since "$started")
echo "FIGURE: busy port: the error verdict after $busy_ms ms (6 attempts, 5 s apart)"
grep -E '"event": ?"status"' "$work/busy.json" | grep -F "Midi Through" > "$work/busy.holder"
ktest_check "busy port: the error verdict, exit 1" check_update busy 1 error "There was an error sending the update file."
ktest_check "busy port: a status names the holder, \"Midi Through\" (client $through)" \
    mentions "$work/busy.holder" '\"Midi Through\"' "client $through"
ktest_check "busy port: that status is shown once" test "$(wc -l < "$work/busy.holder")" -eq 1
ktest_check "busy port: no \"sent successfully\" status" sh -c "! grep -q -F 'MIDI update sent successfully.' '$work/busy.json'"
ktest_check "busy port: the verdict within the retries' time (25 to 45 s: $busy_ms ms)" \
    test "$busy_ms" -ge 25000 -a "$busy_ms" -le 45000
# Ctrl-C while the update waits to try again.
env --default-signal=INT,TERM "$cli" update "$data/single-64k.syx" --port "Ostrel Kelva" --yes --json \
    > "$work/busy-int.json" 2> "$work/busy-int.err" &
int_pid=$!
wait_event busy-int "Midi Through" 30
sleep 2
ctrl_c "$int_pid" 15
echo "FIGURE: busy port: exit $ctrl_c_status $ctrl_c_ms ms after SIGINT"
ktest_check "busy port, Ctrl-C during the wait: exit 130 within 1 s (exit $ctrl_c_status, $ctrl_c_ms ms)" \
    test "$ctrl_c_status" = 130 -a "$ctrl_c_ms" -le 1000
ktest_check "the connection from Midi Through is removed" aconnect -d "Midi Through:0" "Ostrel Kelva:0"
update_run after-busy "$data/other-4k.syx" --port "Ostrel Kelva"
sim_stop || ktest_fail "the simulated device stopped cleanly (busy port)"
# The busy runs sent no byte: the device received only the 4 KiB sent after them.
check_delivered after-busy "the port free again, 4 KiB" "$data/other-4k.syx" "$work/busy.rec"

# ---- 4. unplugged while an 8 MiB portion is on its way, replugged a few seconds later -----------
# 8 MiB: the delivery runs at about 1.5 MiB/s here, and unbinding the gadget can let bytes through for
# 0.6 s before the device goes, so a 1 MiB portion could be complete by then.
cut_file=$data/cut-8m.syx
size=$(stat -c %s "$cut_file")
sim_start cut-1 "$work/cut-1.rec"
dev_card=$(card_by_id "$GADGET_CARD_ID")
update_start cut "$cut_file" --port "Ostrel Kelva"
unplug_amid "$dev_card" 200000 60
wait_seq_client_gone "$GADGET_PRODUCT" 30 || ktest_fail "the device's client went after the unplug"
sim_stop || ktest_fail "the simulated device stopped cleanly after the unplug"
while [ "$(ms_since "$unplugged")" -lt 3000 ]; do sleep 0.2; done
replug_with_sim cut-2 "$work/cut-2.rec"
update_wait cut > /dev/null
sim_stop || ktest_fail "the simulated device stopped cleanly after the replug"
failure=$(awk -v t="$unplugged" '$1 >= t && /"event": ?"status"/ && /disconnected/' "$work/cut.json" | head -n 1)
host_gone=$(cat "$work/host-gone" 2> /dev/null || echo "$unplugged")
[ -n "$failure" ] && failure_ms=$((($(echo "$failure" | cut -d' ' -f1) - host_gone) / 1000))
echo "FIGURE: unplugged mid-portion: the host saw the device go $(((host_gone - unplugged) / 1000)) ms after the unplug began; the failed send reported ${failure_ms:-never} ms after that"
cut_rec=$(stat -c %s "$work/cut-1.rec" 2> /dev/null || echo 0)
ktest_check "unplugged mid-portion: the device had $cut_rec of $size bytes when it went" \
    test "$cut_rec" -gt 0 -a "$cut_rec" -lt "$size"
ktest_check "unplugged mid-portion: what arrived before is the portion's start, unspoilt" \
    cmp -s -n "$cut_rec" "$work/cut-1.rec" "$cut_file"
ktest_check "unplugged mid-portion: a status says the device was disconnected" test -n "$failure"
# Nothing may wait on the bytes that will never leave (closing an unplugged raw MIDI device waits 10 s).
ktest_check "unplugged mid-portion: the failed send reported within 3 s of the host seeing the device go" \
    test -n "$failure" -a "${failure_ms:-0}" -le 3000
check_delivered cut "unplugged mid-portion and replugged, the whole 8 MiB" "$cut_file" "$work/cut-2.rec"

# ---- 5. no sequencer (/dev/snd hidden, as without the snd-seq module), no permission ------------
# (the VM has no udev rules: /dev/snd's nodes are root's, mode 600, and nobody has no access)
no_seq=(unshare -m sh -c 'mount -t tmpfs none /dev/snd && exec "$@"' sh)
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
ktest_check "/dev/snd/seq is root's alone (mode 600)" test "$(stat -c %a /dev/snd/seq)" = 600
for command in list update; do
    args=("$command")
    [ $command = update ] && args+=("$data/single-64k.syx" --yes)
    run noseq-$command "${no_seq[@]}" "$cli" "${args[@]}"
    run noperm-$command "${nobody[@]}" "$cli" "${args[@]}"
    ktest_check "no /dev/snd/seq: $command exits 1" exits noseq-$command 1
    ktest_check "no /dev/snd/seq: $command names snd-seq" mentions "$work/noseq-$command.all" "snd-seq"
    ktest_check "no permission for /dev/snd/seq: $command exits 1" exits noperm-$command 1
    ktest_check "no permission for /dev/snd/seq: $command says what gives access (/dev/snd, the audio group)" \
        mentions "$work/noperm-$command.all" "/dev/snd" "audio"
done
dmesg | grep -i -E 'oops|BUG|WARNING' | tail -n 20
ktest_summary
