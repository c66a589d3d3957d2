# Shell helpers for the scripts that run inside the kernel-test VM (source it; bash).
# The VM boots with snd-usb-audio, dummy_hcd and usb_f_midi loaded: gadget_up makes a USB MIDI
# device "Ostrel Kelva" out of a configfs gadget on dummy_udc.0, which the kernel then sees
# exactly as it sees a real one plugged in (card, raw MIDI device, sequencer client
# "Ostrel Kelva" with port "Ostrel Kelva MIDI 1"), while the gadget's own end is a raw MIDI
# device of its own (card id KelvaDev) on which the tests play the device.

KTEST_REPO=${KTEST_REPO:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
KTEST_DIR=${KTEST_DIR:-$KTEST_REPO/build-vm}
KTEST_TOOLS=${KTEST_TOOLS:-$KTEST_DIR/tools}

GADGET_DIR=/sys/kernel/config/usb_gadget/kelva
GADGET_UDC=dummy_udc.0
GADGET_PRODUCT="Ostrel Kelva"
GADGET_CARD_ID=KelvaDev

# ---- reporting -------------------------------------------------------------------------------
ktest_failures=0
ktest_passes=0
ktest_log() { echo "[$(cut -d' ' -f1 /proc/uptime)] $*"; }
ktest_pass() {
    ktest_passes=$((ktest_passes + 1))
    echo "PASS: $*"
}
ktest_fail() {
    ktest_failures=$((ktest_failures + 1))
    echo "FAIL: $*"
}
# ktest_check DESCRIPTION COMMAND... : PASS or FAIL by the command's status.
ktest_check() {
    local what=$1
    shift
    if "$@"; then ktest_pass "$what"; else ktest_fail "$what"; fi
}
# Prints the totals and returns 0 only when something passed and nothing failed.
ktest_summary() {
    echo "SUMMARY: $ktest_passes passed, $ktest_failures failed"
    [ "$ktest_failures" -eq 0 ] && [ "$ktest_passes" -gt 0 ]
}

# ---- the gadget ------------------------------------------------------------------------------
# gadget_make DIR PRODUCT CARD_ID SERIAL ID_PRODUCT: the configfs gadget with one MIDI function,
# once (not bound to a UDC yet).
gadget_make() {
    [ -d "$1" ] && return 0
    mkdir -p "$1" || return 1
    (
        cd "$1" || exit 1
        echo 0x1209 > idVendor
        echo "$5" > idProduct
        echo 0x0100 > bcdDevice
        mkdir -p strings/0x409
        echo "Ostrel" > strings/0x409/manufacturer
        echo "$2" > strings/0x409/product
        echo "$4" > strings/0x409/serialnumber
        mkdir -p configs/c.1/strings/0x409
        echo "MIDI" > configs/c.1/strings/0x409/configuration
        mkdir -p functions/midi.usb0
        echo "$3" > functions/midi.usb0/id
        ln -s functions/midi.usb0 configs/c.1/
    )
}
# Creates the gadget (once) and plugs it in; waits until the sequencer client is there.
gadget_up() {
    if [ -n "$(cat "$GADGET_DIR/UDC" 2> /dev/null)" ]; then
        # Already plugged in (by an earlier part of the same boot).
        wait_seq_port "$GADGET_PRODUCT" "$GADGET_PRODUCT MIDI 1" 30
        return
    fi
    gadget_make "$GADGET_DIR" "$GADGET_PRODUCT" "$GADGET_CARD_ID" KT0001 0x0001 || return 1
    gadget_plug
}
gadget_plug() {
    echo "$GADGET_UDC" > "$GADGET_DIR/UDC" || return 1
    wait_seq_port "$GADGET_PRODUCT" "$GADGET_PRODUCT MIDI 1" 30
}
# Unbinding the gadget from the UDC: the host sees the device go, and the gadget's own end (its
# card and raw MIDI device) goes too, as with a device that is switched off.
gadget_unplug() {
    echo "" > "$GADGET_DIR/UDC" || return 1
    wait_seq_client_gone "$GADGET_PRODUCT" 30
}
# Replugging in two steps, so that a program can open the gadget's end before the host sees the
# device (what arrives at the gadget's end while nobody has it open is lost): gadget_plug_held binds
# the gadget with new devices on the dummy host not authorized, gadget_release authorizes it.
# (Switching the UDC's pull-up through soft_connect instead does not work: dummy_hcd then fails
# to enumerate the device again with error -71.)
dummy_root_hub() {
    local hub
    for hub in /sys/devices/platform/dummy_hcd.0/usb*; do
        [ -d "$hub" ] && echo "$hub" && return 0
    done
    return 1
}
gadget_plug_held() {
    local hub
    hub=$(dummy_root_hub) || return 1
    echo 0 > "$hub/authorized_default" || return 1
    echo "$GADGET_UDC" > "$GADGET_DIR/UDC" || return 1
    local deadline=$(($(date +%s) + 30))
    until [ -n "$(card_by_id "$GADGET_CARD_ID")" ]; do
        [ "$(date +%s)" -le "$deadline" ] || return 1
        sleep 0.1
    done
}
gadget_release() {
    local hub device
    hub=$(dummy_root_hub) || return 1
    echo 1 > "$hub/authorized_default"
    for device in "$hub"/[0-9]*-[0-9]*; do
        [ -f "$device/authorized" ] && echo 1 > "$device/authorized"
    done
    wait_seq_port "$GADGET_PRODUCT" "$GADGET_PRODUCT MIDI 1" 30
}
# A second USB MIDI device, another product, on the second UDC (the VM loads dummy_hcd with num=2):
# for the tests that need two devices plugged in at once.
SECOND_GADGET_DIR=/sys/kernel/config/usb_gadget/brenna
SECOND_GADGET_UDC=dummy_udc.1
SECOND_GADGET_PRODUCT="Brenna Synth"
SECOND_GADGET_CARD_ID=BrennaDev
second_gadget_up() {
    [ -d "/sys/class/udc/$SECOND_GADGET_UDC" ] || {
        echo "no $SECOND_GADGET_UDC (dummy_hcd not loaded with num=2?)" >&2
        return 1
    }
    gadget_make "$SECOND_GADGET_DIR" "$SECOND_GADGET_PRODUCT" "$SECOND_GADGET_CARD_ID" KT0002 0x0002 || return 1
    if [ -z "$(cat "$SECOND_GADGET_DIR/UDC")" ]; then
        echo "$SECOND_GADGET_UDC" > "$SECOND_GADGET_DIR/UDC" || return 1
    fi
    wait_seq_port "$SECOND_GADGET_PRODUCT" "$SECOND_GADGET_PRODUCT MIDI 1" 30
}
second_gadget_unplug() {
    echo "" > "$SECOND_GADGET_DIR/UDC" || return 1
    wait_seq_client_gone "$SECOND_GADGET_PRODUCT" 30
}
# wait_rawmidi_input_open CARD TIMEOUT_S: waits until a program has the card's raw MIDI input open.
wait_rawmidi_input_open() {
    local deadline=$(($(date +%s) + $2))
    while [ "$(date +%s)" -le "$deadline" ]; do
        awk '/^Input/ { inside = 1 } /^Output/ { inside = 0 } inside && /Owner PID/ { found = 1 } END { exit !found }' \
            "/proc/asound/card$1/midi0" 2> /dev/null && return 0
        sleep 0.1
    done
    echo "nobody opened the raw MIDI input of card $1 within $2 s" >&2
    return 1
}

# ---- the sequencer and the cards -------------------------------------------------------------
# Client number of the sequencer client named exactly NAME (empty when there is none).
seq_client_number() {
    sed -n "s/^Client *\([0-9]*\) : \"$1\" .*/\1/p" /proc/asound/seq/clients | head -n 1
}
# wait_seq_port CLIENT PORT TIMEOUT_S: waits until client CLIENT has a port named PORT.
wait_seq_port() {
    local deadline=$(($(date +%s) + $3))
    while [ "$(date +%s)" -le "$deadline" ]; do
        if awk -v c="\"$1\"" -v p="\"$2\"" '
            /^Client/ { inside = (index($0, ": " c " ") > 0) }
            inside && /^  Port/ && index($0, ": " p " ") > 0 { found = 1 }
            END { exit !found }' /proc/asound/seq/clients; then
            return 0
        fi
        sleep 0.1
    done
    echo "no sequencer port \"$2\" of client \"$1\" after $3 s" >&2
    return 1
}
wait_seq_client() {
    local deadline=$(($(date +%s) + $2))
    while [ "$(date +%s)" -le "$deadline" ]; do
        [ -n "$(seq_client_number "$1")" ] && return 0
        sleep 0.1
    done
    echo "no sequencer client \"$1\" after $2 s" >&2
    return 1
}
wait_seq_client_gone() {
    local deadline=$(($(date +%s) + $2))
    while [ "$(date +%s)" -le "$deadline" ]; do
        [ -z "$(seq_client_number "$1")" ] && return 0
        sleep 0.1
    done
    echo "sequencer client \"$1\" still there after $2 s" >&2
    return 1
}
# Card number of the card with the given id (the name in brackets in /proc/asound/cards).
card_by_id() {
    sed -n "s/^ *\([0-9]*\) \[$1 *\]:.*/\1/p" /proc/asound/cards | head -n 1
}
# Card number of the USB MIDI device as the host side sees it (driver USB-Audio, named after the product).
usb_card() {
    awk -v name="$GADGET_PRODUCT" '$1 ~ /^[0-9]+$/ && index($0, "USB-Audio - " name) { print $1; exit }' /proc/asound/cards
}
usb_rawmidi() { echo "hw:$(usb_card),0,0"; }
gadget_rawmidi() { echo "hw:$(card_by_id "$GADGET_CARD_ID"),0,0"; }

# ---- data --------------------------------------------------------------------------------------
# make_sysex FILE BYTES: one SysEx message of BYTES bytes in all (F0, random data bytes, F7).
make_sysex() {
    {
        printf '\360'
        head -c "$(($2 - 2))" /dev/urandom | tr '\200-\377' '\000-\177'
        printf '\367'
    } > "$1"
}
# same_bytes EXPECTED ACTUAL: true when identical; otherwise says where they first differ.
same_bytes() {
    if cmp -s "$1" "$2"; then
        return 0
    fi
    echo "  expected $(stat -c %s "$1") bytes, got $(stat -c %s "$2"); $(cmp "$1" "$2" 2>&1 | head -n 1)" \
        "; $(cmp -l "$1" "$2" 2> /dev/null | wc -l) bytes differ"
    return 1
}

# capture_start DEVICE OUT BYTES [IDLE_S]: starts recording the raw MIDI input DEVICE in the
# background (pid in capture_pid) and returns once it is open.
capture_start() {
    local ready
    ready=$(mktemp -u)
    "$KTEST_TOOLS/rawmidi-capture" "$1" "$2" "$3" "${4:-30}" "$ready" &
    capture_pid=$!
    while [ ! -e "$ready" ] && kill -0 "$capture_pid" 2> /dev/null; do sleep 0.05; done
    rm -f "$ready"
}
# capture_wait: waits for the recording to end; its status (0 = every byte expected arrived).
capture_wait() {
    wait "$capture_pid"
}

# ---- the updater and the simulated device (the scripts set cli and work) ---------------------
# Each output line with the time (microseconds) it arrived.
# stamped_line_seen FILE SINCE_US TEXT TIMEOUT_S: the stamp of the first line of FILE (as `stamp`
# writes them) at or after SINCE_US that holds TEXT, once there is one; fails after the time-out.
stamped_line_seen() {
    local deadline=$((SECONDS + $4)) at
    while [ "$SECONDS" -le "$deadline" ]; do
        at=$(awk -v t="$2" -v text="$3" '$1 >= t && index($0, text) { print $1; exit }' "$1")
        [ -n "$at" ] && echo "$at" && return 0
        sleep 0.05
    done
    return 1
}
stamp() {
    local line
    while IFS= read -r line; do
        printf '%s %s\n' "${EPOCHREALTIME/./}" "$line"
    done
}
# replug_rounds LABEL FILE GONE_TEXT BACK_TEXT ROUNDS [simulate options...]: while a program writes
# stamped lines to FILE (as `stamp` writes them), unplugs the gadget and plugs it in again ROUNDS times,
# the simulated device started afresh on each replug (records $work/LABEL-N.rec); each unplug must show
# a line with GONE_TEXT, each replug one with BACK_TEXT, within 1 s.
replug_rounds() {
    local label=$1 file=$2 gone_text=$3 back_text=$4 rounds=$5 round unplugged released gone back gone_ms back_ms
    shift 5
    for round in $(seq 1 "$rounds"); do
        unplugged=${EPOCHREALTIME/./}
        echo "" > "$GADGET_DIR/UDC" || ktest_fail "unplug $round"
        gone=$(stamped_line_seen "$file" "$unplugged" "$gone_text" 10)
        wait_seq_client_gone "$GADGET_PRODUCT" 30 || ktest_fail "the device's client went after unplug $round"
        sim_stop || ktest_fail "the simulated device stopped cleanly after unplug $round"
        gadget_plug_held || ktest_fail "replug $round"
        sim_start "$label-$round" "$work/$label-$round.rec" "$@" || ktest_fail "the device end opened"
        sleep 0.5 # f_midi drops what arrives before the end's reader first waits; the program asks at once
        released=${EPOCHREALTIME/./}
        gadget_release || ktest_fail "release of replug $round"
        back=$(stamped_line_seen "$file" "$released" "$back_text" 10)
        gone_ms=$([ -n "$gone" ] && echo $(((gone - unplugged) / 1000)))
        back_ms=$([ -n "$back" ] && echo $(((back - released) / 1000)))
        echo "FIGURE: $label: unplug $round shown ${gone_ms:-never} ms after the unbind began; replug shown ${back_ms:-never} ms after the host was let see it"
        ktest_check "$label: unplug $round shown within 1 s" test -n "$gone_ms" -a "${gone_ms:-0}" -le 1000
        ktest_check "$label: replug $round shown within 1 s ($back_text)" test -n "$back_ms" -a "${back_ms:-0}" -le 1000
    done
}
# run NAME COMMAND...: bounded; stdout, stderr, both and the exit status in $work/NAME.{out,err,all,rc}.
run() {
    local name=$1
    shift
    timeout -k 5 120 "$@" > "$work/$name.out" 2> "$work/$name.err"
    echo $? > "$work/$name.rc"
    cat "$work/$name.out" "$work/$name.err" > "$work/$name.all"
}
exits() { # NAME STATUS: run NAME ended with STATUS; else shows its end
    [ "$(cat "$work/$1.rc")" = "$2" ] && return 0
    echo "  $1: exit $(cat "$work/$1.rc") (wanted $2):"
    tail -n 6 "$work/$1.all" | sed 's/^/    /'
    return 1
}
mentions() { # FILE WORD...: FILE holds every WORD (case-insensitive, fixed strings)
    local file=$1 word
    shift
    for word in "$@"; do
        grep -q -i -F -- "$word" "$file" || { echo "  no \"$word\" in $file: $(tail -n 8 "$file")"; return 1; }
    done
}
nothing_received() { [ ! -s "$1" ] || { echo "  $1 holds $(stat -c %s "$1") bytes"; return 1; }; }
ms_since() { echo $(((${EPOCHREALTIME/./} - $1) / 1000)); } # since a ${EPOCHREALTIME/./} stamp
# identical_runs RECORD FILE RUNS: how many of RECORD's FILE-sized slices equal FILE (0 unless RECORD
# holds exactly RUNS of them).
identical_runs() {
    local size n=0 run
    size=$(stat -c %s "$2")
    [ "$(stat -c %s "$1")" -eq $(($3 * size)) ] || { echo 0; return; }
    for run in $(seq 0 $(($3 - 1))); do
        cmp -s -n "$size" -i "$((run * size)):0" "$1" "$2" && n=$((n + 1))
    done
    echo $n
}
# sim_start NAME RECORD [simulate options...]: the simulated device on the gadget's end, in the
# background (pid in sim_pid), once it has the raw MIDI input open. sim_start_on CARD_ID NAME
# RECORD [...]: the same on the end of another gadget.
sim_start() {
    sim_start_on "$GADGET_CARD_ID" "$@"
}
sim_start_on() {
    local name=$2 record=$3
    local card
    card=$(card_by_id "$1")
    shift 3
    env --default-signal=INT,TERM "$cli" simulate --rawmidi "hw:$card,0,0" --sim-record "$record" "$@" \
        > "$work/$name.sim.log" 2>&1 &
    sim_pid=$!
    sim_log=$work/$name.sim.log
    wait_rawmidi_input_open "$card" 20
}
# sim_stop [PID LOG]: Ctrl-C for the simulated device (the last one started, unless named); it
# writes its record and ends. False when it had to be killed or died of a signal other than the
# one it was sent.
sim_stop() {
    local pid=${1:-$sim_pid} sim_log=${2:-$sim_log} status i
    kill -INT "$pid" 2> /dev/null
    for i in $(seq 1 150); do
        kill -0 "$pid" 2> /dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2> /dev/null; then
        echo "  the simulated device did not end within 15 s of SIGINT; its output and threads:"
        tail -n 8 "$sim_log" | sed 's/^/    /'
        local task
        for task in /proc/"$pid"/task/*; do
            echo "    thread ${task##*/}: $(cat "$task/comm") $(awk '{print $3}' "$task/stat") in $(cat "$task/wchan" 2> /dev/null)"
            sed -n '1,6s/^/      /p' "$task/stack" 2> /dev/null
        done
        kill -KILL "$pid"
        local killed=${EPOCHREALTIME/./}
        for i in $(seq 1 50); do
            kill -0 "$pid" 2> /dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2> /dev/null; then
            echo "    still there 5 s after SIGKILL:"
            for task in /proc/"$pid"/task/*; do
                echo "    thread ${task##*/}: $(awk '{print $3}' "$task/stat" 2> /dev/null) in $(cat "$task/wchan" 2> /dev/null)"
                sed -n '1,8s/^/      /p' "$task/stack" 2> /dev/null
            done
        fi
        wait "$pid"
        echo "    gone $(((${EPOCHREALTIME/./} - killed) / 1000)) ms after SIGKILL"
        return 1
    fi
    wait "$pid"
    status=$?
    if [ "$status" -ne 0 ] && [ "$status" -ne 130 ]; then
        echo "  the simulated device ended with status $status"
        tail -n 5 "$sim_log"
        return 1
    fi
}
# update_start NAME FILE [update options...]: midi-updater-cli update in the background with its
# JSON events stamped into $work/NAME.json; update_wait NAME then gives its exit status.
update_start() {
    local name=$1 file=$2
    shift 2
    (
        set -o pipefail
        timeout -k 5 "${KTEST_UPDATE_TIMEOUT:-300}" "$cli" update "$file" --yes --json "$@" \
            2> "$work/$name.err" | stamp > "$work/$name.json"
        echo "${PIPESTATUS[0]}" > "$work/$name.rc"
    ) &
    eval "update_pid_${name//[^A-Za-z0-9_]/_}=$!"
}
update_wait() {
    local pid_var=update_pid_${1//[^A-Za-z0-9_]/_}
    wait "${!pid_var}"
    cat "$work/$1.rc"
}
# wait_event NAME TEXT TIMEOUT_S: waits until the update's JSON stream holds TEXT.
wait_event() {
    local deadline=$(($(date +%s) + $3))
    while [ "$(date +%s)" -le "$deadline" ]; do
        grep -q -F -- "$2" "$work/$1.json" 2> /dev/null && return 0
        sleep 0.1
    done
    echo "  no \"$2\" from update $1 within $3 s"
    return 1
}
verdict() { # NAME: the completed/error event's line
    grep -E '"event": ?"(completed|error)"' "$work/$1.json" | tail -n 1 | cut -d' ' -f2-
}
# check_update NAME WANT_STATUS WANT_EVENT WANT_TEXT
check_update() {
    local name=$1 status
    status=$(cat "$work/$name.rc" 2> /dev/null)
    if [ "$status" = "$2" ] && verdict "$name" | grep -q -E "\"event\": ?\"$3\"" && verdict "$name" | grep -q -F -- "$4"; then
        return 0
    fi
    echo "  update $name: exit ${status:-none} (wanted $2), verdict: $(verdict "$name")"
    tail -n 5 "$work/$name.err"
    return 1
}
# ms_between NAME FIRST_TEXT SECOND_TEXT: time from the first event holding FIRST_TEXT to the
# first holding SECOND_TEXT.
ms_between() {
    local a b
    a=$(grep -F -m 1 -- "$2" "$work/$1.json" | cut -d' ' -f1)
    b=$(grep -F -m 1 -- "$3" "$work/$1.json" | cut -d' ' -f1)
    [ -n "$a" ] && [ -n "$b" ] && echo $(((b - a) / 1000))
}


# ---- plumbing for the test cases in tests/kernel (they set cli and work) ---------------------
accepted="was updated sucessfully to version" # the verdict of an accepted update (its spelling)
# update_run NAME FILE [update options...]: update_start and update_wait, the status left in $work/NAME.rc.
update_run() {
    update_start "$@"
    update_wait "$1" > /dev/null
}
# check_delivered NAME WHAT EXPECTED RECORD: update NAME accepted (exit 0) and the device's RECORD
# byte-identical to the file EXPECTED.
check_delivered() {
    ktest_check "$2: accepted, exit 0" check_update "$1" 0 completed "$accepted"
    ktest_check "$2: received byte-identical" same_bytes "$3" "$4"
}
# soft_client_start RECORD: the simulator as the ALSA sequencer client "Kelva Software" (a software
# MIDI port beside the device) in the background (pid in sim_pid), once the client is there.
soft_client_start() {
    env --default-signal=INT,TERM "$cli" simulate --sim-name "Kelva Software" --sim-record "$1" \
        > "$work/soft.sim.log" 2>&1 &
    sim_pid=$! sim_log=$work/soft.sim.log
    wait_seq_client "Kelva Software" 20 || ktest_fail "the software client \"Kelva Software\" appeared"
}
# replug_with_sim NAME RECORD [simulate options...]: a held replug with a new simulated device on the
# new device end (opened before the host sees the device).
replug_with_sim() {
    gadget_plug_held || ktest_fail "replug"
    sim_start "$@" || ktest_fail "the simulated device opened the device end after the replug"
    gadget_release || ktest_fail "release of the replug"
}
# stamped_start FILE STREAM COMMAND...: COMMAND in the background (pid in watch_pid) with the lines of
# its STREAM (1 or 2) stamped into FILE (the other one into FILE.other), until COMMAND ends.
stamped_start() {
    local file=$1 stream=$2
    shift 2
    mkfifo "$file.fifo"
    stamp < "$file.fifo" > "$file" &
    stamp_pid=$!
    if [ "$stream" = 1 ]; then
        env --default-signal=INT,TERM "$@" > "$file.fifo" 2> "$file.other" &
    else
        env --default-signal=INT,TERM "$@" 2> "$file.fifo" > "$file.other" &
    fi
    watch_pid=$!
}
# ctrl_c PID KILL_AFTER_S: SIGINT to PID (SIGKILL if it is still there KILL_AFTER_S later), then waits
# for it; its status in ctrl_c_status, the time from the signal to its end in ctrl_c_ms.
ctrl_c() {
    (sleep "$2" && kill -KILL "$1" 2> /dev/null) &
    local signalled=${EPOCHREALTIME/./}
    kill -INT "$1"
    wait "$1"
    ctrl_c_status=$?
    ctrl_c_ms=$(ms_since "$signalled")
}
# pause SECONDS: a sleep without a fork (under emulation each fork can take longer than a portion
# takes to go), on a FIFO of its own that nobody writes.
pause() {
    if [ -z "${pause_fd:-}" ]; then
        mkfifo "$work/pause" && exec {pause_fd}<> "$work/pause"
    fi
    read -r -t "$1" -u "$pause_fd"
}
# device_end_rx CARD: sets rx to the bytes the raw MIDI input of CARD has received since it was
# opened (builtins only, as pause).
device_end_rx() {
    local line inside=0
    while IFS= read -r line; do
        case "$line" in
            Input*) inside=1 ;;
            Output*) inside=0 ;;
            *"Rx bytes"*) [ $inside = 1 ] && rx=${line##* } && return 0 ;;
        esac
    done < "/proc/asound/card$1/midi0"
}
# unplug_amid CARD BYTES TIMEOUT_S: unplugs the gadget (without waiting for the client to go) once
# the raw MIDI input of CARD has received BYTES more bytes (or after TIMEOUT_S); its stamp in
# unplugged, and the stamp at which the host saw the device go in $work/host-gone (the updater can
# fail only then).
unplug_amid() {
    pause 0 # its FIFO, opened here for the subshell below
    device_end_rx "$1" # the count goes on from the earlier bytes to the same card
    local rx0=$rx give_up=$((SECONDS + $3)) host_device
    while [ $((rx - rx0)) -lt "$2" ] && [ "$SECONDS" -le "$give_up" ]; do
        pause 0.02
        device_end_rx "$1"
    done
    unplugged=${EPOCHREALTIME/./}
    host_device=$(ls -d "$(dummy_root_hub)"/[0-9]*-1 | head -n 1)
    (
        while [ -e "$host_device" ]; do pause 0.01; done
        echo "${EPOCHREALTIME/./}" > "$work/host-gone"
    ) &
    echo "" > "$GADGET_DIR/UDC" || ktest_fail "unplug"
}

# ---- suite.sh: each part in turn, then one line per part ------------------------------------
ktest_results=()
# ktest_part NAME COMMAND...: runs one part; its result (by its status: 0, 77 skipped, else failed).
ktest_part() {
    local name=$1 start=$SECONDS status
    shift
    echo -e "\n=== $name"
    "$@"
    status=$?
    case $status in
        0) ktest_results+=("PASSED  $name ($((SECONDS - start)) s)") ;;
        77) ktest_results+=("SKIPPED $name ($((SECONDS - start)) s)") ;;
        *) ktest_results+=("FAILED  $name (exit $status, $((SECONDS - start)) s)") ;;
    esac
}
# ktest_parts_summary: the parts' lines; returns 1 if any failed, 77 if any was skipped, else 0.
ktest_parts_summary() {
    echo -e "\n=== kernel tests"
    printf '%s\n' "${ktest_results[@]}"
    printf '%s\n' "${ktest_results[@]}" | grep -q '^FAILED' && return 1
    printf '%s\n' "${ktest_results[@]}" | grep -q '^SKIPPED' && return 77
    return 0
}
