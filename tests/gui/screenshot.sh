#!/bin/sh
# Regenerates docs/screenshots/main-window.png: the main window with a few
# entries, under a private Xvfb with openbox for the title bar.
#   tests/gui/screenshot.sh BUILD_DIR
set -eu
build=${1:?usage: $0 BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out="$root/docs/screenshots/main-window.png"

inner=$(mktemp /tmp/zn480-shot-XXXXXX.sh)
trap 'rm -f "$inner"' EXIT
cat >"$inner" <<INNER
#!/bin/sh
openbox >/dev/null 2>&1 &
ob=\$!
sleep 1
"$build/bin/gui_showcase" 5 &
app=\$!
sleep 3
wid=\$(xwininfo -root -tree | grep '"ZN480 USB Switch"' | awk '{print \$1}' | head -1)
import -frame -window "\$wid" "$out"
wait \$app
kill \$ob
wait \$ob 2>/dev/null || true
INNER
chmod +x "$inner"
"$here/../support/with-xvfb.sh" -s "-screen 0 800x600x24" "$inner"
echo "wrote $out"
