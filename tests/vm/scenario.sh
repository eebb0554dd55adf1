#!/bin/sh
# The end-to-end scenario inside the test VM (scripts/vm-test), whose root is
# the host's file system: `korvalis emulate` plugs a device in through uhid and
# the real program talks to it through hidraw and udev.
#
#   scenario.sh BUILD_DIR [CORPUS_DIR]
#
# Every line for the host starts with "KORVALIS-VM:"; the last one says PASS or
# FAIL. Commands the build does not have yet are listed as "left".
build=$1
corpus=${2:-}
repo=$(cd "$(dirname "$0")/../.." && pwd)
k="$build/cli/korvalis"
t=/tmp/korvalis-vm
mkdir -p "$t"
# shellcheck source=tests/vm/common.sh
. "$repo/tests/vm/common.sh"

has_command() { "$k" --help 2>/dev/null | grep -q "^  $1 "; }
cleanup() {
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
    [ -n "$monitor" ] && kill "$monitor" 2>/dev/null
}

[ -x "$k" ] || { bad "korvalis is not built in $build"; finish; }

# --- the kernel side --------------------------------------------------------
uhid_missing="korvalis: /dev/uhid is missing: this kernel offers no uhid (as root: modprobe uhid)"
if [ ! -e /dev/uhid ]; then
    check "emulate says so when /dev/uhid is missing" \
        test "$("$k" emulate 2>&1; echo "exit $?")" = "$uhid_missing
exit 1"
fi
for m in hid uhid hid-generic; do
    check "modprobe $m" modprobe "$m"
done
check "/dev/uhid is a character device" test -c /dev/uhid
uhid_denied="korvalis: /dev/uhid is not writable for this user: run as root or grant access to it"
check "emulate says so when /dev/uhid is not writable" \
    test "$(setpriv --reuid=65534 --regid=65534 --clear-groups "$k" emulate 2>&1; echo "exit $?")" = \
    "$uhid_denied
exit 1"

monitor="" watcher=""
udevd=""
for u in /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd; do
    [ -x "$u" ] && udevd=$u && break
done
if [ -n "$udevd" ]; then
    # The rule the package installs, as udev would read it from /etc.
    rule="$repo/resources/70-korvalis-uploader.rules"
    [ -f "$rule" ] && mkdir -p /run/udev/rules.d && cp "$rule" /run/udev/rules.d/
    "$udevd" --daemon >/dev/null 2>&1
    udevadm settle -t 10 2>/dev/null
    udevadm monitor --udev --subsystem-match=hidraw >"$t/udev.log" 2>&1 &
    monitor=$!
    check "systemd-udevd and a udev monitor run" wait_for "$t/udev.log" "UDEV" 10
else
    bad "systemd-udevd is not installed"
fi
# The configuration block read by hand through hidraw: the read command out,
# nine 64-byte reports in.
raw_read_block() { # node out
    printf '\000\065\016\000\000\000\000\100\002\000\000\110\111\104\103\235\001\000\000' >"$t/cmd.bin"
    head -c 46 /dev/zero >>"$t/cmd.bin"
    exec 3<>"$1" || return 1
    timeout 10 dd bs=64 count=9 <&3 >"$2" 2>/dev/null &
    reader=$!
    dd bs=65 count=1 if="$t/cmd.bin" >&3 2>/dev/null
    wait $reader
    status=$?
    exec 3>&-
    return $status
}
wait_gone() { # node
    end=$(($(uptime_s) + 5))
    while [ -e "$1" ]; do
        [ "$(uptime_s)" -ge $end ] && return 1
        sleep 0.1
    done
}
block_bytes() { od -An -tu1 -j "$2" -N "$3" "$1" | tr -s ' ' | sed 's/^ //;s/ $//'; }

# --- 1: identity, firmware check, upload --------------------------------------
plug "$t/emu1.log" --capture "$t/capture.bin" --save-pictures "$t/pictures" --exit-after-upload
hidraw=${node#/dev/}
sys=/sys/class/hidraw/$hidraw/device
check "the kernel sees 0416:5020 on the USB bus" grep -q "^HID_ID=0003:00000416:00005020$" "$sys/uevent"
check "hid-generic drives it" test "$(basename "$(readlink "$sys/driver")")" = hid-generic
descriptor=$(od -An -tx1 "$sys/report_descriptor" | tr -d ' \n')
check "the report descriptor holds one 64-byte input and one 64-byte output report" \
    test "$descriptor" = 0600ff0901a1010902150026ff0075089540810209039102c0
if [ -f /run/udev/rules.d/70-korvalis-uploader.rules ]; then
    udevadm settle -t 10 2>/dev/null
    access=$(stat -c '%a %G' "$node")
    if [ "$access" = "660 plugdev" ]; then
        ok "the packaged udev rule gives $node to plugdev"
    else
        todo "the packaged udev rule misses the emulated device ($node stays $access): it matches USB attributes, which a uhid device lacks; KERNELS==\"0003:0416:5020.*\" would match both"
    fi
fi
if has_command devices; then
    "$k" devices >"$t/devices.log" 2>&1
    # PATH ID VERSION IN OUT ACCESS
    check "korvalis devices lists $node as 0416:5020 with report lengths 65 and 65, read/write" \
        test "$(awk -v n="$node" '$1 == n { print $2, $4, $5, $6 }' "$t/devices.log")" = \
        "0416:5020 65 65 read/write"
    sed 's/^/  devices: /' "$t/devices.log"
    # A user who may not open the node still sees the device, query-only.
    setpriv --reuid=65534 --regid=65534 --clear-groups "$k" devices >"$t/devices-nobody.log" 2>&1
    check "without access to the node, korvalis devices still identifies it, query-only" \
        test "$(awk -v n="$node" '$1 == n { print $2, $4, $5, $6 }' "$t/devices-nobody.log")" = \
        "0416:5020 65 65 query-only"
    sed 's/^/  devices (nobody): /' "$t/devices-nobody.log"
    if has_command info; then
        # ... and korvalis info says so at once instead of waiting for an answer.
        timeout 5 setpriv --reuid=65534 --regid=65534 --clear-groups "$k" info \
            >"$t/info-nobody.log" 2>&1
        check "without access to the node, korvalis info says at once that it is read-only" \
            grep -q "^$node: the device is read-only for this user" "$t/info-nobody.log"
        sed 's/^/  info (nobody): /' "$t/info-nobody.log"
    fi
    if [ "$(stat -c '%a %G' "$node")" = "660 plugdev" ] && has_command info; then
        setpriv --reuid=65534 --regid=65534 --groups=plugdev "$k" info >"$t/info-plugdev.log" 2>&1
        check "a member of plugdev reads the firmware without root" \
            grep -q "^$node: firmware 19.2.16, marker 0xCF: compatible$" "$t/info-plugdev.log"
    fi
else
    todo "korvalis devices (identity and report lengths through the Linux backend)"
fi

if has_command info; then
    timeout 30 "$k" info >"$t/info.log" 2>&1
    status=$?
    check "korvalis info reads firmware 19.2.16 with marker 0xCF: compatible (exit $status)" \
        test "$(cat "$t/info.log") $status" = "$node: firmware 19.2.16, marker 0xCF: compatible 0"
    sed 's/^/  info: /' "$t/info.log"
else
    raw_read_block "$node" "$t/block.bin"
    check "the read command by hand through hidraw answers 576 bytes" \
        test "$(stat -c %s "$t/block.bin" 2>/dev/null)" = 576
    check "the block carries firmware 19.2.16 and marker 0xCF" \
        test "$(block_bytes "$t/block.bin" 516 3) $(block_bytes "$t/block.bin" 12 1)" = "19 2 16 207"
    todo "korvalis info (firmware check through the Linux backend)"
fi
check "the emulated device answered a read command with nine reports" \
    grep -q "answered with 9 input reports" "$t/emu1.log"

# The same slot options for the bundle and the upload: a PNG Logo and a JPEG
# Screensaver when the corpus is at hand, the built-in Splash in any case.
set --
png=$corpus/pngsuite/basn2c08.png jpg=$corpus/jpeg/libjpeg-turbo/testorig.jpg
[ -n "$corpus" ] && [ -f "$png" ] && set -- "$@" --logo "$png"
[ -n "$corpus" ] && [ -f "$jpg" ] && set -- "$@" --screensaver "$jpg"
if has_command upload && has_command bundle; then
    "$k" bundle "$@" -o "$t/expected.bin" >"$t/bundle.log" 2>&1
    check "korvalis bundle writes the reference bundle" test -s "$t/expected.bin"
    start=$(now_ms)
    timeout 120 "$k" upload "$@" >"$t/upload.log" 2>&1
    status=$?
    upload_ms=$(($(now_ms) - start))
    check "korvalis upload: Checking firmware..., Connected, Upload succeeded (exit $status)" \
        test "$(tr '\n' '|' <"$t/upload.log") $status" = \
        "Disconnected|Checking firmware...|Connected|Uploading resources...|Upload succeeded| 0"
    say "upload took $upload_ms ms"
    sed 's/^/  upload: /' "$t/upload.log"
    if [ $status = 0 ]; then
        wait_emulator 30
    else
        kill -TERM "$emu"
        wait "$emu"
    fi
    check "the emulated device reassembled 7264 reports" \
        grep -q "bundle complete: 464896 bytes in 7264 reports" "$t/emu1.log"
    check "the captured bundle equals korvalis bundle byte for byte" \
        cmp "$t/capture.bin" "$t/expected.bin"
    check "the device saved its three pictures" \
        test -s "$t/pictures/splash.png" -a -s "$t/pictures/logo.png" -a -s "$t/pictures/screensaver.png"
else
    todo "korvalis upload and bundle (7264 reports through the Linux backend, capture compared)"
    kill -TERM "$emu"
    wait "$emu"
    status=$?
    check "emulate stops cleanly on SIGTERM (exit $status)" test $status = 0
fi
sed 's/^/  emulate: /' "$t/emu1.log"
check "the hidraw node is gone after the device" wait_gone "$node"

# --- 2: firmware rejected -----------------------------------------------------
plug "$t/emu2.log" --fw 19.2.15
if has_command info; then
    timeout 30 "$k" info >"$t/info2.log" 2>&1
    status=$?
    check "korvalis info says 19.2.15 is incompatible (exit $status)" \
        grep -q "^$node: firmware 19.2.15, marker 0xCF: incompatible" "$t/info2.log"
    check "korvalis info fails for it" test $status = 1
    sed 's/^/  info: /' "$t/info2.log"
else
    todo "korvalis info with a rejected firmware"
fi
if has_command upload; then
    timeout 60 "$k" upload >"$t/upload2.log" 2>&1
    status=$?
    check "korvalis upload stops at Incompatible firmware (exit $status)" \
        test "$(tr '\n' '|' <"$t/upload2.log") $status" = \
        "Disconnected|Checking firmware...|Incompatible firmware| 1"
    sed 's/^/  upload: /' "$t/upload2.log"
    check "nothing was written to the rejected device" \
        test -z "$(grep "write command" "$t/emu2.log")"
else
    raw_read_block "$node" "$t/block2.bin"
    check "a device with firmware 19.2.15 says so in its block" \
        test "$(block_bytes "$t/block2.bin" 516 3)" = "19 2 15"
    todo "korvalis upload with a rejected firmware"
fi
kill -TERM "$emu"
wait "$emu"

# --- 2b: answers split oddly and answers too long, through the kernel ---------
if has_command info; then
    # 7, 64, 1, 0, 33, 64 bytes a report. Recent kernels drop input reports
    # shorter than the descriptor's 64 bytes (dmesg: "too short") and never hand
    # on empty ones; older ones pass the short ones on.
    plug "$t/emu-split.log" --split
    timeout 30 "$k" info >"$t/info-split.log" 2>&1
    status=$?
    if dmesg | grep -q "$hid_id.*too short"; then
        check "short reports dropped by the kernel leave the block unjudged (exit $status)" \
            test "$(cat "$t/info-split.log") $status" = "$node: no answer to the firmware check 1"
    else
        check "an answer split oddly still makes the block: compatible (exit $status)" \
            test "$(cat "$t/info-split.log") $status" = \
            "$node: firmware 19.2.16, marker 0xCF: compatible 0"
    fi
    sed 's/^/  info: /' "$t/info-split.log"
    kill -TERM "$emu"
    wait "$emu"
    # Ten full reports: the block is judged on the first nine, the rest ignored.
    plug "$t/emu-long.log" --extra 64
    timeout 30 "$k" info >"$t/info-long.log" 2>&1
    status=$?
    check "an answer of ten reports is judged on the first nine: compatible (exit $status)" \
        test "$(cat "$t/info-long.log") $status" = \
        "$node: firmware 19.2.16, marker 0xCF: compatible 0"
    check "and the device sent ten" grep -q "answered with 10 input reports" "$t/emu-long.log"
    sed 's/^/  info: /' "$t/info-long.log"
    kill -TERM "$emu"
    wait "$emu"
fi

# --- 2c: two matching devices; a device gone at the read command --------------
if has_command upload && has_command info; then
    plug "$t/emu-a.log" --exit-after-upload
    emu_a=$emu
    plug "$t/emu-b.log" --exit-after-upload
    emu_b=$emu
    timeout 30 "$k" info >"$t/info-two.log" 2>&1
    check "korvalis info checks both devices" \
        test "$(grep -c ": firmware 19.2.16, marker 0xCF: compatible$" "$t/info-two.log")" = 2
    sed 's/^/  info: /' "$t/info-two.log"
    timeout 120 "$k" upload >"$t/upload-two.log" 2>&1
    status=$?
    check "korvalis upload with two devices: Upload succeeded (exit $status)" \
        test "$(tail -n1 "$t/upload-two.log") $status" = "Upload succeeded 0"
    sleep 1
    got=$(($(grep -c "bundle complete" "$t/emu-a.log") + $(grep -c "bundle complete" "$t/emu-b.log")))
    check "exactly one of the two received the bundle ($got)" test $got = 1
    check "the one enumerated last: the second plugged" grep -q "bundle complete" "$t/emu-b.log"
    for e in $emu_a $emu_b; do
        kill -TERM "$e" 2>/dev/null
        wait "$e"
    done
    plug "$t/emu-gone.log" --unplug-at 0
    timeout 60 "$k" upload --timeout 5 >"$t/upload-gone.log" 2>&1
    status=$?
    check "a device gone at the read command: no upload, no hang (exit $status)" \
        test $status = 1 -a -z "$(grep "Upload succeeded" "$t/upload-gone.log")"
    sed 's/^/  upload: /' "$t/upload-gone.log"
    wait_emulator 10
fi

# --- 3: removed in the middle of an upload ------------------------------------
plug "$t/emu3.log" --unplug-at 3000
if has_command upload; then
    start=$(now_ms)
    timeout 120 "$k" upload >"$t/upload3.log" 2>&1
    status=$?
    check "upload ends with Upload failed when the device goes (exit $status, $(($(now_ms) - start)) ms)" \
        grep -qx "Upload failed" "$t/upload3.log"
    check "and never claims success" test -z "$(grep "Upload succeeded" "$t/upload3.log")"
    sed 's/^/  upload: /' "$t/upload3.log"
    check "no crash and no hang (exit $status)" test $status -ne 0 -a $status -lt 124
    check "the device was removed at report 3000" grep -q "unplugged at output report 3000" "$t/emu3.log"
    wait_emulator 10
else
    todo "korvalis upload with the device removed mid-upload"
    kill -TERM "$emu"
    wait "$emu"
fi

# --- 4: hot-plug -------------------------------------------------------------
# The controller on the Linux platform reports one change per device-change
# pass that changed its list: the first pass, then one per plug and unplug.
hot="$build/tests/vm/korvalis_vm_hotplug"
if [ -x "$hot" ]; then
    "$hot" >"$t/hotplug.log" 2>&1 &
    watcher=$!
    check "the controller's first device-change pass" wait_for "$t/hotplug.log" "change 1:" 20
    for round in 1 2; do
        plug "$t/emu-hot$round.log"
        wait_for "$t/hotplug.log" "change $((2 * round)):" 20
        kill -TERM "$emu"
        wait "$emu"
        wait_for "$t/hotplug.log" "change $((2 * round + 1)):" 20
    done
    sleep 2 # room for a change that should not come
    kill -TERM "$watcher"
    wait "$watcher" 2>/dev/null
    watcher=""
    sed 's/^/  hot-plug: /' "$t/hotplug.log"
    got=$(sed 's/ korvalis:.*/ korvalis/' "$t/hotplug.log" | tr '\n' ' ')
    check "one change per plug and per unplug, no invented removals" test "$got" = \
        "change 1: 0 korvalis change 2: 1 korvalis change 3: 0 korvalis change 4: 1 korvalis change 5: 0 korvalis "
else
    for round in 1 2; do
        plug "$t/emu-hot$round.log"
        kill -TERM "$emu"
        wait "$emu"
    done
    todo "hot-plug through the controller (korvalis_vm_hotplug is not built)"
fi
if has_command devices && "$k" devices --help 2>/dev/null | grep -q -- "--watch"; then
    "$k" devices --watch >"$t/watch.log" 2>&1 &
    watcher=$!
    sleep 2
    plug "$t/emu-watch.log"
    sleep 2
    kill -TERM "$emu"
    wait "$emu"
    sleep 2
    kill -TERM "$watcher"
    wait "$watcher" 2>/dev/null
    watcher=""
    sed 's/^/  devices --watch: /' "$t/watch.log"
    todo "check korvalis devices --watch output (one plug and one unplug above)"
fi

if [ -n "$monitor" ]; then
    udevadm settle -t 10 2>/dev/null
    sleep 0.5
    adds=$(grep -c " add " "$t/udev.log")
    removes=$(grep -c " remove " "$t/udev.log")
    check "udev saw one hidraw add per plug ($adds of $plugs)" test "$adds" = "$plugs"
    check "udev saw one hidraw remove per unplug ($removes of $plugs)" test "$removes" = "$plugs"
fi
finish
