#!/bin/sh
# Runs a command inside the Wine 10 root of scripts/wine10-root.sh, in a
# mount namespace of its own: every mount made here (proc, dev, sys, the
# X socket folder, the repository, the caller's folders) belongs to that
# namespace and goes with it when the command ends, also when it fails or is
# killed. The host's mounts, its /run/pcscd and its apt state are untouched.
#
#   wine10-enter.sh [-b DIR]... -- COMMAND [ARG]...
#
# -b DIR   make the host folder DIR visible at the same path inside the root
#          (repeatable); the repository this script lives in always is
# Environment:
#   TARVEX_WINE10_ROOT  the root (default: what scripts/wine10-root.sh names)
#
# The command runs as the caller (root), with PATH of the root and the
# caller's other environment variables (WINEPREFIX, DISPLAY, WINEDEBUG,
# PCSCLITE_CSOCK_NAME, ...). Exit status: the command's; 125 when the root
# is missing or cannot be entered. Needs root.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
root=${TARVEX_WINE10_ROOT:-$("$repo/scripts/wine10-root.sh" --print-root)}

# The folders to bind, one per line (a folder name holding a newline is refused).
nl='
'
binds=""
while [ $# -gt 0 ]; do
    case "$1" in
        -b) [ $# -ge 2 ] || { echo "$0: -b needs a folder" >&2; exit 125; }
            case "$2" in *"$nl"*|"") echo "$0: unusable folder name" >&2; exit 125 ;; esac
            binds="$binds$2$nl"; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: $0 [-b DIR]... -- COMMAND [ARG]..." >&2; exit 125 ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: $0 [-b DIR]... -- COMMAND [ARG]..." >&2; exit 125; }
[ -f "$root/../complete" ] || { echo "$0: no Wine 10 root at $root (run scripts/wine10-root.sh)" >&2; exit 125; }

# Inside the namespace: the mounts, then chroot. The binds go on the same
# paths as on the host, so that paths handed across (a prefix, a pty link, a
# socket) mean the same on both sides. Never a mount over /bin: trixie's /bin
# is a link to usr/bin.
exec unshare -m --propagation private sh -c '
    root=$1; binds=$2; shift 2
    fail() { echo "wine10-enter: $*" >&2; exit 125; }
    mount -t proc proc "$root/proc" || fail "cannot mount proc"
    mount --rbind /dev "$root/dev" || fail "cannot bind /dev"
    mount --rbind /sys "$root/sys" || fail "cannot bind /sys"
    if [ -d /tmp/.X11-unix ]; then
        mkdir -p "$root/tmp/.X11-unix" && mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix" \
            || fail "cannot bind the X socket folder"
    fi
    printf "%s" "$binds" | while IFS= read -r d; do
        [ -d "$d" ] || fail "no folder $d"
        mkdir -p "$root$d" && mount --bind "$d" "$root$d" || fail "cannot bind $d"
    done || exit 125
    exec chroot "$root" /usr/bin/env PATH=/usr/local/bin:/usr/bin:/usr/sbin:/bin:/sbin "$@"
' wine10-enter "$root" "$repo$nl$binds" "$@"
