#!/bin/sh
# Runs a private PC/SC daemon with virtual readers, for the demo and for
# tests that run out of process. Never touches the system's daemon.
#
#   private-pcscd.sh [-n COUNT] [-N NAME]... [-D DIR] [-p PORT] [-d]
#
# -n COUNT  readers named "ZN480 Sim 1" .. "ZN480 Sim COUNT" (default 1)
# -N NAME   a reader with this name (repeatable; replaces -n)
# -D DIR    keep the daemon's files in DIR (kept afterwards), so that a
#           daemon started again later has the same socket path
# -p PORT   the first reader's vpcd port (default: a free one is picked)
# -F        only print a free port for -p (one per reader) and exit
# -d        debug log of the daemon
#
# Prints, once the daemon is ready:
#   socket=/tmp/zn480-pcscd-XXXX/run/pcscd.comm
#   dir=/tmp/zn480-pcscd-XXXX
#   reader=NAME 00 00 port=PORT          (one line per reader)
# then waits; SIGTERM or SIGINT stops the daemon and removes the directory.
# Clients set PCSCLITE_CSOCK_NAME to the socket path. Needs root.
set -u

count=1
names=""
debug=""
fixed_dir=""
fixed_port=""
only_port=""
nl='
'
while [ $# -gt 0 ]; do
    case "$1" in
        -n) count=$2; shift 2 ;;
        -N) names="$names$2$nl"; shift 2 ;;
        -d) debug="-d"; shift ;;
        -D) fixed_dir=$2; shift 2 ;;
        -p) fixed_port=$2; shift 2 ;;
        -F) only_port=1; shift ;;
        *) echo "usage: $0 [-n COUNT] [-N NAME]... [-D DIR] [-p PORT] [-d]" >&2; exit 2 ;;
    esac
done
if [ -z "$names" ]; then
    k=1
    while [ "$k" -le "$count" ]; do names="${names}ZN480 Sim $k$nl"; k=$((k + 1)); done
fi
nreaders=$(printf '%s' "$names" | grep -c '')
driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so

if [ -n "$fixed_dir" ]; then
    dir=$fixed_dir
    # A daemon that was stopped before may have left its files.
    rm -rf "$dir/run" "$dir/conf"
else
    dir=$(mktemp -d /tmp/zn480-pcscd-XXXXXX) || exit 1
fi
mkdir -p "$dir/conf" "$dir/run" || exit 1
pid=""

cleanup() {
    if [ -n "$pid" ]; then
        kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null
        i=0
        while kill -0 "$pid" 2>/dev/null && [ $i -lt 60 ]; do sleep 0.05; i=$((i + 1)); done
        kill -KILL -- "-$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    if [ -n "$fixed_dir" ]; then rm -rf "$dir/run"; else rm -rf "$dir"; fi
}
trap 'cleanup; exit 0' TERM INT HUP
trap cleanup EXIT

port_free() {
    # Nothing listens on the port (IPv4 or IPv6).
    ! grep -qi ":$(printf '%04X' "$1") [0-9A-F:]* 0A " /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

pick_ports() {
    tries=0
    while [ $tries -lt 200 ]; do
        base=$((20000 + 2 * ($(od -An -N2 -tu2 /dev/urandom) % 5000)))
        ok=1
        i=0
        while [ $i -lt $((2 * nreaders)) ]; do
            port_free $((base + i)) || { ok=0; break; }
            i=$((i + 1))
        done
        [ $ok = 1 ] && return 0
        tries=$((tries + 1))
    done
    return 1
}

if [ -n "$only_port" ]; then
    trap - EXIT
    rm -rf "$dir"
    pick_ports || exit 1
    echo "$base"
    exit 0
elif [ -n "$fixed_port" ]; then
    base=$fixed_port
else
    pick_ports || { echo "no free ports" >&2; exit 1; }
fi
# The virtual reader driver keeps its connections in process-wide state
# indexed by slot only, so two readers served by one loaded copy overwrite
# each other and only the last one works. A copy of the driver per reader
# (a distinct file, so the loader maps it separately) keeps them apart.
mkdir -p "$dir/drivers"
k=0
printf '%s' "$names" | while IFS= read -r name; do
    cp "$driver" "$dir/drivers/vpcd$k.so" || exit 1
    printf 'FRIENDLYNAME "%s"\nDEVICENAME /dev/null:%d\nLIBPATH %s\n' \
        "$name" $((base + 2 * k)) "$dir/drivers/vpcd$k.so" > "$dir/conf/reader$k"
    k=$((k + 1))
done

setsid unshare -m --propagation private sh -c \
    "[ -d /run/pcscd ] || mount -t tmpfs tmpfs /run || exit 97
     mkdir -p /run/pcscd && mount --bind '$dir/run' /run/pcscd || exit 98
     exec pcscd --foreground $debug -c '$dir/conf'" \
    </dev/null >"$dir/pcscd.log" 2>&1 &
pid=$!

i=0
while [ ! -S "$dir/run/pcscd.comm" ] || [ ! -f "$dir/run/pcscd.pid" ]; do
    if ! kill -0 "$pid" 2>/dev/null || [ $i -ge 100 ]; then
        echo "pcscd did not start:" >&2
        cat "$dir/pcscd.log" >&2
        exit 1
    fi
    sleep 0.05
    i=$((i + 1))
done

echo "socket=$dir/run/pcscd.comm"
echo "dir=$dir"
k=0
printf '%s' "$names" | while IFS= read -r name; do
    echo "reader=$name 00 00 port=$((base + 2 * k))"
    k=$((k + 1))
done

# Sleep in the background so the trap runs as soon as a signal comes.
while kill -0 "$pid" 2>/dev/null; do
    sleep 1 &
    wait $! 2>/dev/null
done
echo "pcscd exited" >&2
exit 1
