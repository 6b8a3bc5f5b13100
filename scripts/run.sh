#!/usr/bin/env bash
# The demo: Tarvex against the reader simulator, on this machine's own
# services. Installs what is missing, builds, then starts
#   - zn480sim as a ZN480 in CDC personality on a pty linked as ttyACM2
#     (COM3) in a private device folder, shown in a umockdev testbed as a
#     USB device of the reader's vendor id; when it switches to CCID, as the
#     card of a virtual reader "ZN480 Demo" in a private pcscd that runs
#     only while the reader is in CCID (never the system's daemon; needs
#     root); and as a USB keyboard in that testbed when it switches to HID (it watches the display's lock-key LEDs there,
#     so "To CCID"/"To CDC" from HID works through kbflash),
#   - Tarvex under umockdev-wrapper, with PCSCLITE_CSOCK_NAME, ZN480_DEV_DIR
#     and UMOCKDEV_DIR pointing at all of that.
# With a usable $DISPLAY the window opens there and the demo ends when it is
# closed (or on Ctrl-C). Without one, everything runs under a private Xvfb
# and the main window, once the scan has found the reader, is saved to
# build/demo/screenshot.png.
# Everything started here is stopped on the way out.
#
# TARVEX_BUILD_DIR=DIR runs the programs of an existing build folder instead
# (no package check, no build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${1:-}" != "--inner" ]; then
    if [ -z "${TARVEX_BUILD_DIR:-}" ]; then
        scripts/deps.sh run
        scripts/build.sh linux
    fi
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        exec "$0" --inner window
    fi
    echo "No display: running under Xvfb and taking a screenshot."
    exec tests/support/with-xvfb.sh -s "-screen 0 1024x768x24" "$0" --inner screenshot
fi
mode=$2
bin=$(cd "${TARVEX_BUILD_DIR:-build/linux}" && pwd)/bin

work=$(mktemp -d /tmp/zn480-demo-XXXXXX)
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

wait_for() { # wait_for SECONDS COMMAND...: polls until COMMAND succeeds
    local n=$(($1 * 10))
    shift
    until "$@"; do
        n=$((n - 1))
        [ $n -gt 0 ] || return 1
        sleep 0.1
    done
}

# PC/SC: a private daemon with one virtual reader, which the simulator runs
# only while the reader is in CCID personality (a reader in another
# personality is no PC/SC reader), always in the same folder and on the
# same port, so that Tarvex finds it again each time.
port=$(tests/support/private-pcscd.sh -F) || { echo "no free port for the virtual reader" >&2; exit 1; }
socket="$work/pcscd/run/pcscd.comm"
pcscd_cmd="exec '$root/tests/support/private-pcscd.sh' -N 'ZN480 Demo' -D '$work/pcscd' -p $port >>'$work/pcscd.out' 2>>'$work/pcscd.err'"

# The simulated reader.
mkdir -p "$work/dev"
# Under umockdev's preload, so that its testbed sends the uevents of the
# keyboard coming and going (Tarvex's udev monitor reacts to them).
umockdev-wrapper "$bin/zn480sim" --personality cdc --cdc-link "$work/dev/ttyACM2" --vpcd-port "$port" \
    --ccid-service "$pcscd_cmd" \
    --hid-testbed "$work/testbed" --led-display "$DISPLAY" \
    --control "$work/sim.ctl" --log "$work/exchanges.log" >"$work/sim.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q 'zn480sim: now ' "$work/sim.log" || { cat "$work/sim.log" >&2; exit 1; }
cat "$work/sim.log"
echo "Simulator control socket: $work/sim.ctl (line commands, see zn480sim --help); commands received: $work/exchanges.log"

run_tarvex() {
    env PCSCLITE_CSOCK_NAME="$socket" ZN480_DEV_DIR="$work/dev" UMOCKDEV_DIR="$(cat "$work/testbed")" \
        TARVEX_STATE_FILE="$work/state" umockdev-wrapper "$bin/Tarvex"
}

if [ "$mode" = window ]; then
    echo "Tarvex is running; close its window (or press Ctrl-C) to end the demo."
    run_tarvex || true
    exit 0
fi

# Headless: a window manager for the title bar, then wait for the scan.
# Tarvex starts once the window manager has taken over the screen: a window
# mapped while it is still starting up can stay unmapped.
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    pids+=($!)
    wait_for 10 wm_ready || true
fi
run_tarvex >"$work/tarvex.log" 2>&1 &
pids+=($!)
found() { grep -q '^entry=COM3 ZN480 CDC - ' "$work/state" 2>/dev/null && grep -q '^refresh=0' "$work/state"; }
if ! wait_for 30 found; then
    echo "The scan did not find the reader:" >&2
    cat "$work/state" "$work/tarvex.log" >&2 || true
    exit 1
fi
# The main window: the mapped one of the windows with its caption (Qt keeps
# a hidden leader window with the same name).
shot() {
    local id
    for id in $(xwininfo -root -tree | grep '"ZN480 USB Switch"' | awk '{print $1}'); do
        local info parent
        # Openbox puts the window into a frame of its own: take the frame.
        parent=$(xwininfo -tree -id "$id" | grep 'Parent window id' | grep -v 'root window' |
            sed -n 's/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p')
        info=$(xwininfo -id "${parent:-$id}")
        if grep -q 'IsViewable' <<<"$info"; then
            # The window with its title bar, cut from the whole screen.
            local x y w h
            x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
            y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
            w=$(sed -n 's/.*Width: *//p' <<<"$info")
            h=$(sed -n 's/.*Height: *//p' <<<"$info")
            import -window root -crop "${w}x${h}+${x}+${y}" +repage build/demo/screenshot.png 2>/dev/null && return 0
        fi
    done
    return 1
}
# With xdotool at hand, select the reader as a user would, so that the
# buttons of its personality light up: a click on its entry (the first row
# of the list, about an eighth of the way down the window).
if command -v xdotool >/dev/null; then
    main=$(xdotool search --onlyvisible --name '^ZN480 USB Switch$' | head -1 || true)
    if [ -n "$main" ]; then
        h=$(xwininfo -id "$main" | sed -n 's/.*Height: *//p')
        pick() { xdotool mousemove --window "$main" 150 $((h * 12 / 100)) click 1 >/dev/null 2>&1; sleep 0.3; grep -q '^selected=0' "$work/state"; }
        wait_for 5 pick || true
    fi
fi
mkdir -p build/demo
sleep 0.5 # let the last repaint land
wait_for 10 shot || { echo "could not take the screenshot" >&2; exit 1; }
echo "Found by the scan:"
grep '^entry=' "$work/state" | sed 's/^entry=/  /'
echo "Screenshot: build/demo/screenshot.png"
