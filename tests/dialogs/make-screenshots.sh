#!/bin/sh
# Pictures of the two option dialogs, window-manager frame included, on a
# private Xvfb with openbox (both started and stopped here). Needs xdotool
# and ImageMagick's import.
#   tests/dialogs/make-screenshots.sh BUILD_DIR [OUT_DIR]
set -eu
build=${1:?usage: $0 BUILD_DIR [OUT_DIR]}
out=${2:-$(dirname "$0")/../../docs/screenshots}
show=$build/bin/dialog_show
mkdir -p "$out"

fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
read -r num <"$fifo"
rm -f "$fifo"
export DISPLAY=":$num"
openbox >/dev/null 2>&1 &
wm=$!
trap 'kill $wm $xvfb 2>/dev/null; wait $wm $xvfb 2>/dev/null || true' EXIT
sleep 1

shoot() { # kind caption file
    QT_QPA_PLATFORM=xcb "$show" "$1" 4000 2>/dev/null &
    app=$!
    win=$(xdotool search --sync --name "$2" | head -n 1)
    sleep 0.5 # let the window manager draw its frame
    import -frame -window "$win" "$out/$3"
    wait $app
}
shoot hid "HID Mode Selection" dialog-hid.png
shoot ccid "CCID Fake Card Selection" dialog-ccid.png
echo "wrote $out/dialog-hid.png $out/dialog-ccid.png"
