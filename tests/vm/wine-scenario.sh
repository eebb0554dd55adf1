#!/bin/sh
# The Windows program against a real kernel HID device, inside the test VM
# (scripts/vm-test --windows): the Linux `korvalis emulate` plugs the device in
# through uhid, and the cross-built korvalis.exe reaches it under Wine, whose
# hidraw bus hands the kernel's hidraw node to hid.dll and setupapi.dll.
#
#   wine-scenario.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR WINE_PREFIX [CORPUS_DIR]
#
# Every line for the host starts with "KORVALIS-VM:"; the last one says PASS or
# FAIL. What the Windows build does not have yet is listed as "left".
build=$1
winbuild=$2
prefix=$3
corpus=${4:-}
repo=$(cd "$(dirname "$0")/../.." && pwd)
k="$build/cli/korvalis"
exe="$winbuild/cli/korvalis.exe"
probe="$winbuild/tests/vm/korvalis_wine_hidprobe.exe"
t=/tmp/korvalis-vm
mkdir -p "$t"
# shellcheck source=tests/vm/common.sh
. "$repo/tests/vm/common.sh"
cleanup() { [ -n "$server" ] && "$server" -k 2>/dev/null; }
server=""
[ -x "$k" ] || { bad "korvalis (Linux) is not built in $build"; finish; }

# --- the kernel side, as in scenario.sh --------------------------------------
for m in hid uhid hid-generic overlay; do
    check "modprobe $m" modprobe "$m"
done
for u in /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd; do
    [ -x "$u" ] && "$u" --daemon >/dev/null 2>&1 && break
done
udevadm settle -t 10 2>/dev/null

unplug() {
    kill -TERM "$emu" 2>/dev/null
    wait "$emu"
}
# Wine lists the device of emulator $emu (its pid is in the device's path) and
# no longer the one of emulator $1, within 30 seconds: its bus hears of
# devices plugged in and out while it runs.
wine_lists() { # old-emulator-pid
    end=$(($(uptime_s) + 30))
    while :; do
        win 30 "$t/list.log" "$probe" list
        grep -q "korvalis-emulate-$emu&" "$t/list.log" &&
            ! grep -q "korvalis-emulate-$1&" "$t/list.log" && return 0
        [ "$(uptime_s)" -ge $end ] && return 1
        sleep 1
    done
}

# --- Wine ---------------------------------------------------------------------
# The prefix the host made, writable through a tmpfs laid over it; Wine's own
# files (its server's socket, HOME) go to the guest's /tmp.
mkdir -p /tmp/wine-upper /tmp/wine-work
check "the Wine prefix is writable through an overlay" \
    mount -t overlay overlay -o "lowerdir=$prefix,upperdir=/tmp/wine-upper,workdir=/tmp/wine-work" \
    "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= HOME=/tmp
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# Runs a Windows program with a time limit, its output (CR removed) to a
# file; answers its exit status.
win() { # seconds out program args...
    s=$1 out=$2; shift 2
    timeout -k 5 "$s" "$wine" "$@" </dev/null >"$out.raw" 2>&1
    st=$?
    tr -d '\r' <"$out.raw" >"$out"
    return $st
}

# The device is in before Wine starts: its bus finds it at start-up. One
# server for the whole run, and Wine's own services started once.
plug "$t/emu1.log" --capture "$t/capture.bin" --exit-after-upload
"$server" -p
start=$(now_ms)
win 120 "$t/boot.log" cmd.exe /c exit
say "Wine started in $(($(now_ms) - start)) ms"

# hid.dll alone first: when korvalis.exe misses the device, this tells whether
# Wine presented it at all.
win 60 "$t/probe.log" "$probe"
sed 's/^/  probe: /' "$t/probe.log"
check "Wine's hid.dll lists the emulated device as 0416:5020" grep -q "^0416:5020 " "$t/probe.log"
check "it answers the read command through Wine with nine reports, firmware 19.2.16" \
    grep -q "answered with 9 reports, firmware 19.2.16" "$t/probe.log"
if [ ! -f "$exe" ]; then
    old=$emu
    unplug
    plug "$t/emu2.log" --fw 19.2.15
    check "Wine's bus drops the device unplugged and finds the one plugged in" wine_lists $old
    sed 's/^/  probe: /' "$t/list.log"
    unplug
    todo "korvalis.exe devices, info and upload (korvalis.exe is not built in $winbuild)"
    finish
fi

# --- 1: identity, firmware, upload of three pictures ----------------------------
win 60 "$t/devices.log" "$exe" devices
sed 's/^/  devices: /' "$t/devices.log"
check "korvalis.exe devices lists the uhid device as 0416:5020" \
    test -n "$(awk '$2 == "0416:5020"' "$t/devices.log")"

win 60 "$t/info.log" "$exe" info
status=$?
sed 's/^/  info: /' "$t/info.log"
check "korvalis.exe info reads firmware 19.2.16 with marker 0xCF: compatible (exit $status)" \
    test "$(grep -c ": firmware 19.2.16, marker 0xCF: compatible$" "$t/info.log") $status" = "1 0"

set --
for f in bmpsuite/g/rgb24.bmp pngsuite/basn2c08.png jpeg/libjpeg-turbo/testorig.jpg; do
    [ -n "$corpus" ] && [ -f "$corpus/$f" ] || continue
    case $# in
    0) set -- --splash "$corpus/$f" ;;
    2) set -- "$@" --logo "$corpus/$f" ;;
    *) set -- "$@" --screensaver "$corpus/$f" ;;
    esac
done
[ $# = 6 ] || todo "three corpus pictures (the corpus is not at hand: the upload uses the defaults)"
"$k" bundle "$@" -o "$t/expected.bin" >"$t/bundle.log" 2>&1
check "korvalis bundle (Linux) writes the reference bundle" test -s "$t/expected.bin"
start=$(now_ms)
win 300 "$t/upload.log" "$exe" upload "$@"
status=$?
say "upload took $(($(now_ms) - start)) ms"
sed 's/^/  upload: /' "$t/upload.log"
check "korvalis.exe upload: Checking firmware..., Connected, Upload succeeded (exit $status)" \
    test "$(tr '\n' '|' <"$t/upload.log") $status" = \
    "Disconnected|Checking firmware...|Connected|Uploading resources...|Upload succeeded| 0"
wait_emulator 30
check "the emulated device reassembled 7264 reports" \
    grep -q "bundle complete: 464896 bytes in 7264 reports" "$t/emu1.log"
check "the capture equals korvalis bundle byte for byte" cmp "$t/capture.bin" "$t/expected.bin"
sed 's/^/  emulate: /' "$t/emu1.log"

# --- 2: firmware rejected -----------------------------------------------------
old=$emu
plug "$t/emu2.log" --fw 19.2.15
check "Wine's bus drops the device unplugged and finds the one plugged in" wine_lists $old
win 120 "$t/upload2.log" "$exe" upload
status=$?
sed 's/^/  upload: /' "$t/upload2.log"
check "korvalis.exe upload stops at Incompatible firmware (exit $status)" \
    test "$(tr '\n' '|' <"$t/upload2.log") $status" = \
    "Disconnected|Checking firmware...|Incompatible firmware| 1"
check "nothing was written to the rejected device" test -z "$(grep "write command" "$t/emu2.log")"
unplug

# --- 3: removed in the middle of an upload ------------------------------------
old=$emu
plug "$t/emu3.log" --unplug-at 3000
check "Wine's bus finds the next device" wine_lists $old
start=$(now_ms)
win 300 "$t/upload3.log" "$exe" upload
status=$?
sed 's/^/  upload: /' "$t/upload3.log"
check "korvalis.exe upload ends with Upload failed when the device goes (exit $status, $(($(now_ms) - start)) ms)" \
    grep -qx "Upload failed" "$t/upload3.log"
check "and never claims success" test -z "$(grep "Upload succeeded" "$t/upload3.log")"
check "no crash and no hang (exit $status)" test $status -ne 0 -a $status -lt 124
check "the device was removed at report 3000" grep -q "unplugged at output report 3000" "$t/emu3.log"
wait_emulator 10
finish
