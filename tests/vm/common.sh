# What the VM scenarios (scenario.sh, wine-scenario.sh) share: the report
# lines for the host and the emulated device. Sourced; the scenario sets $k
# (the Linux korvalis) and $t (its scratch folder) and may define cleanup().
checks=0 failed=0 left="" plugs=0

say() { echo "KORVALIS-VM: [$(cut -d" " -f1 /proc/uptime)] $*"; }
ok() { checks=$((checks + 1)); say "ok $*"; }
bad() { checks=$((checks + 1)); failed=$((failed + 1)); say "not ok $*"; }
check() { # description command...
    d=$1; shift
    if "$@"; then ok "$d"; else bad "$d"; fi
}
todo() { left="$left${left:+; }$*"; say "left: $*"; }
now_ms() { date +%s%3N; }
uptime_s() { cut -d. -f1 /proc/uptime; }
# The log shows the text within $3 seconds.
wait_for() { # file text seconds
    end=$(($(uptime_s) + $3))
    until grep -q -- "$2" "$1" 2>/dev/null; do
        [ "$(uptime_s)" -ge $end ] && return 1
        sleep 0.1
    done
}
finish() {
    command -v cleanup >/dev/null && cleanup
    if [ $failed -eq 0 ]; then
        echo "KORVALIS-VM: PASS $checks checks${left:+; left: $left}"
    else
        echo "KORVALIS-VM: FAIL $failed of $checks checks failed${left:+; left: $left}"
    fi
    exit 0
}

# Plugs an emulated device in: emulate OPTIONS... ; sets $emu (pid), $node,
# $hid_id.
plug() {
    log=$1; shift
    node=""
    "$k" emulate --realtime "$@" >"$log" 2>&1 &
    emu=$!
    if wait_for "$log" "ready as /dev/hidraw" 20; then
        node=$(sed -n 's/.*ready as \(\/dev\/hidraw[0-9]*\).*/\1/p' "$log" | head -n1)
        hid_id=$(sed -n 's/.*ready as .* (\(.*\))$/\1/p' "$log" | head -n1)
        plugs=$((plugs + 1))
        ok "emulate plugged a device in as $node"
    else
        bad "emulate did not plug a device in: $(tr '\n' ' ' <"$log")"
    fi
}
# Waits for the emulator to end by itself; answers its exit status.
wait_emulator() { # seconds
    end=$(($(uptime_s) + $1))
    while kill -0 "$emu" 2>/dev/null; do
        if [ "$(uptime_s)" -ge $end ]; then
            kill -TERM "$emu"
            wait "$emu"
            return 124
        fi
        sleep 0.1
    done
    wait "$emu"
}
