#!/bin/sh
# The harness scripts: a private PC/SC daemon that comes and goes cleanly,
# and a command run under an X server of its own.
set -u
here=$(dirname "$0")
support="$here/../support"
fail() { echo "FAIL: $*" >&2; exit 1; }

out=$(mktemp)
"$support/private-pcscd.sh" -n 2 >"$out" 2>&1 &
pid=$!
i=0
until grep -q '^reader=ZN480 Sim 2 00 00 port=' "$out"; do
    kill -0 "$pid" 2>/dev/null || { cat "$out"; fail "private-pcscd.sh exited"; }
    [ $i -lt 200 ] || fail "private-pcscd.sh printed no readers"
    sleep 0.05; i=$((i + 1))
done
sock=$(sed -n 's/^socket=//p' "$out")
dir=$(sed -n 's/^dir=//p' "$out")
[ -S "$sock" ] || fail "no socket at $sock"
p1=$(sed -n 's/^reader=ZN480 Sim 1 00 00 port=//p' "$out")
p2=$(sed -n 's/^reader=ZN480 Sim 2 00 00 port=//p' "$out")
[ "$p1" != "$p2" ] || fail "readers share a port"
kill -TERM "$pid"
wait "$pid"
[ ! -e "$dir" ] || fail "directory $dir left behind"
rm -f "$out"

disp=$("$support/with-xvfb.sh" sh -c 'echo "$DISPLAY"')
case "$disp" in :[0-9]*) ;; *) fail "with-xvfb.sh gave DISPLAY '$disp'" ;; esac
"$support/with-xvfb.sh" sh -c 'exit 7'
[ $? -eq 7 ] || fail "with-xvfb.sh lost the exit status"
echo ok
