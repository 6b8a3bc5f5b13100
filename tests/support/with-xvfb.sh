#!/bin/sh
# Runs a command under an X server of its own:
#   with-xvfb.sh [-s "XVFB ARGS"] COMMAND [ARGS...]
# Xvfb picks a free display number itself (-displayfd) and keeps its state
# between clients (-noreset), so lock-key states carry across processes.
# DISPLAY is exported to the command; the server is stopped afterwards and
# the command's exit status is returned.
set -u

xargs_="-screen 0 1280x1024x24"
if [ "${1:-}" = "-s" ]; then
    xargs_=$2
    shift 2
fi
[ $# -gt 0 ] || { echo "usage: $0 [-s \"XVFB ARGS\"] COMMAND [ARGS...]" >&2; exit 2; }

tmp=$(mktemp -d /tmp/zn480-xvfb-XXXXXX) || exit 1
mkfifo "$tmp/fd"
xpid=""
cleanup() {
    if [ -n "$xpid" ]; then
        kill -TERM "$xpid" 2>/dev/null
        wait "$xpid" 2>/dev/null
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# shellcheck disable=SC2086
Xvfb -displayfd 3 -noreset -nolisten tcp $xargs_ 3>"$tmp/fd" >"$tmp/log" 2>&1 &
xpid=$!

# The server writes its display number to fd 3 once it accepts clients.
display=$(timeout 20 head -n1 "$tmp/fd")
if [ -z "$display" ]; then
    echo "Xvfb did not start:" >&2
    cat "$tmp/log" >&2
    exit 1
fi
export DISPLAY=":$display"
"$@"
status=$?
exit $status
