#!/bin/bash
# Installs the package into a throw-away Debian root with `apt-get install
# ./file.deb` without its recommendations (so without pcscd and libccid),
# checks that every dependency arrived, that the maintainer script applies
# the rules through udevadm trigger alone, and that the installed programs
# ignore the test hook variables (a simulated reader behind ZN480_DEV_DIR, a
# reader drive in a ZN480_MOUNTS_FILE, a TARVEX_STATE_FILE); starts the
# program through its launcher on an Xvfb display (and keeps a screenshot);
# then installs pcscd and libccid and runs tarvexctl again, and finally
# removes and purges the package and checks that nothing of it is left.
#
# First choice is a fresh root bootstrapped with mmdebstrap (minbase, from the
# Debian mirror), so that a missing Depends shows up exactly as on a new
# machine. That takes about a minute on an idle machine but several on a busy
# one; when it is unavailable or would overrun its time budget, the test falls
# back to an overlay of this machine's own root: install, start, removal and
# purge are still exercised, but dependencies then only come from what this
# machine already has. Either way the dev machine itself is not touched.
# Usage: install_test.sh DEB_DIR SCREENSHOT_PNG DEV_BIN_DIR
# (DEV_BIN_DIR: the development build's bin folder, with zn480sim and a
# tarvexctl that honours the hooks, to show that the hooks' setup works.)
set -euo pipefail
deb_dir=$1 shot=$2 dev_bin=$3
debs=("$deb_dir"/*.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "FAIL: no .deb in $deb_dir" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for chroot and mounts"; exit 77; }
for tool in unshare chroot timeout Xvfb openbox xwininfo xprop import; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

# Seconds the fresh root may take, bootstrap and install together, before the
# overlay takes over; the overlay run itself needs well under a minute.
fresh_budget=${TARVEX_FRESH_ROOT_BUDGET:-150}

work=$(mktemp -d "${TMPDIR:-/var/tmp}/tarvex-root.XXXXXX")
root=$work/root
xvfb_pid= wm_pid=
kill_in_root() {
    # Anything still running inside the throw-away root was started here.
    local p
    for p in /proc/[0-9]*; do
        if [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ]; then kill -9 "${p#/proc/}" 2>/dev/null || true; fi
    done
}
cleanup() {
    kill_in_root
    [ -z "$wm_pid" ] || kill "$wm_pid" 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT

# ---- a display for the program --------------------------------------------
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
display=:$(head -1 "$work/display")
[ "$display" != : ] || { echo "FAIL: Xvfb did not start: $(cat "$work/xvfb.log")" >&2; exit 1; }
DISPLAY=$display openbox >"$work/openbox.log" 2>&1 &
wm_pid=$!
for _ in $(seq 100); do
    case "$(DISPLAY=$display xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null)" in *"window id"*) break ;; esac
    sleep 0.05
done
cp "$deb" "$work/"

# ---- install, run, remove inside a private mount namespace -----------------
# run_in_root MODE INSTALL_SECONDS: exits 75 when apt-get overran its time.
run_in_root() {
    TARVEX_T_MODE=$1 TARVEX_T_LIMIT=$2 TARVEX_T_WORK=$work TARVEX_T_ROOT=$root \
    TARVEX_T_DEB=$(basename "$deb") TARVEX_T_DISPLAY=$display TARVEX_T_SHOT=$shot TARVEX_T_DEV_BIN=$dev_bin \
    unshare -m --propagation private bash -euo pipefail <<'INNER'
work=$TARVEX_T_WORK root=$TARVEX_T_ROOT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
                DEBIAN_FRONTEND=noninteractive "$@"; }

if [ "$TARVEX_T_MODE" = overlay ]; then
    mkdir -p "$root" "$work/upper" "$work/ovl"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/ovl" "$root"
fi
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -o remount,bind,ro "$root/sys" 2>/dev/null || true
mkdir -p "$root/tmp/.X11-unix"
mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
# No daemon (pcscd) may start inside the throw-away root.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cp "$work/$TARVEX_T_DEB" "$root/tmp/"
if [ "$TARVEX_T_MODE" = fresh ]; then
    # Packages this machine already downloaded, by hard link: apt checks
    # their hashes and fetches only the rest.
    cp -al /var/cache/apt/archives/*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
fi

status() { in_root dpkg-query -W -f='${Status}' tarvex 2>/dev/null || true; }

# -- without pcscd and libccid (the overlay starts from this machine's root,
# which may have them: they go, without their dependants, as on a machine
# that never had them)
if [ "$TARVEX_T_MODE" = overlay ]; then
    in_root dpkg --purge --force-depends pcscd libccid >"$work/purge-pcscd.log" 2>&1 || true
fi

# -- udev as the maintainer script sees it: a control socket, an udevadm that
# logs its calls and a reader plugged in on the USB bus
# (A tmpfs over /sys/bus for the install only: this machine may have no USB.)
mkdir -p "$root/run/udev"
mount -t tmpfs tmpfs "$root/sys/bus"
mkdir -p "$root/sys/bus/usb/devices/1-9"
echo 6a4e > "$root/sys/bus/usb/devices/1-9/idVendor"
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$root/run/udev/control"
if [ -e "$root/usr/bin/udevadm" ]; then mv "$root/usr/bin/udevadm" "$root/usr/bin/udevadm.real"; fi
printf '#!/bin/sh\necho "$*" >> /tmp/udevadm.log\n' > "$root/usr/bin/udevadm"
chmod 755 "$root/usr/bin/udevadm"

# -- install: apt resolves the Depends
start=$SECONDS
rc=0
timeout "$TARVEX_T_LIMIT" chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive sh -c \
    "cd /tmp && apt-get install -y --no-install-recommends -o DPkg::Options::=--force-unsafe-io ./$TARVEX_T_DEB" \
    >"$work/install.log" 2>&1 || rc=$?
if [ "$rc" = 124 ]; then
    echo "note: apt-get install did not finish within $TARVEX_T_LIMIT s"
    exit 75
elif [ "$rc" != 0 ]; then
    echo "FAIL: apt-get install failed:" >&2; tail -20 "$work/install.log" >&2; exit 1
fi
echo "installed in $((SECONDS - start)) s"
# The rules are applied by the trigger alone: udevd sees the new rule file
# by its time stamp before it handles the events the trigger queues, so no
# reload is asked for.
udevadm_calls=$(cat "$root/tmp/udevadm.log" 2>/dev/null || true)
[ "$udevadm_calls" = "trigger --action=change --parent-match=/sys/bus/usb/devices/1-9" ] \
    || fail "postinst ran udevadm as: '${udevadm_calls}' (want only the trigger of the plugged-in reader)"
rm -f "$root/usr/bin/udevadm" "$root/tmp/udevadm.log"
if [ -e "$root/usr/bin/udevadm.real" ]; then mv "$root/usr/bin/udevadm.real" "$root/usr/bin/udevadm"; fi
umount "$root/sys/bus"
[ "$(status)" = "install ok installed" ] || fail "status after install: '$(status)'"
audit=$(in_root dpkg --audit); [ -z "$audit" ] || fail "dpkg --audit: $audit"
files=$(dpkg-deb --fsys-tarfile "$work/$TARVEX_T_DEB" | tar -t | sed -n 's#^\./#/#p' | sed '/\/$/d')
for f in $files; do
    if [ ! -e "$root$f" ]; then fail "installed file missing: $f"; fi
done
for elf in /usr/lib/tarvex/Tarvex /usr/lib/tarvex/tarvexctl /usr/lib/tarvex/kbflash /usr/lib/tarvex/libserchan.so; do
    missing=$(in_root ldd "$elf" | sed -n '/not found/p')
    [ -z "$missing" ] || fail "$elf lacks libraries: $missing"
done
# What the program loads at run time rather than links.
in_root sh -c 'ls /usr/lib/*/libpcsclite.so.1' >/dev/null 2>&1 || fail "libpcsclite.so.1 is not installed"
in_root sh -c 'ls /usr/lib/*/qt6/plugins/platforms/libqxcb.so' >/dev/null 2>&1 || fail "Qt's xcb platform plugin is not installed"
# Recommended only: not pulled in.
[ ! -e "$root/usr/sbin/pcscd" ] || fail "pcscd was installed, though only recommended"
in_root sh -c 'ls /usr/lib/*/pcsc/drivers/ifd-ccid.bundle' >/dev/null 2>&1 && fail "libccid was installed, though only recommended"
[ "$(in_root sh -c 'command -v tarvex')" = /usr/bin/tarvex ] || fail "tarvex is not on PATH"
# The console program runs from PATH and lists nothing where nothing is
# attached. With no PC/SC daemon running it says that the listing could not
# look there (exit 5), and nothing else; doctor names what is missing.
no_pcsc="tarvexctl: PC/SC: the smart-card service is not running (SCARD_E_NO_SERVICE)"
check_list_without_pcscd() { # $1: what the case is
    local out err status=0
    out=$(in_root "$@" 2>"$work/ctl.err") || status=$?
    err=$(cat "$work/ctl.err")
    [ "$status" = 5 ] || fail "tarvexctl list ($CASE): exit status $status, not 5: $err"
    [ -z "$out" ] || fail "tarvexctl list ($CASE) lists: $out"
    [ "$err" = "$no_pcsc" ] || fail "tarvexctl list ($CASE) says: $err"
}
CASE="fresh root" check_list_without_pcscd tarvexctl list
doctor_out=$(in_root tarvexctl doctor 2>&1) && fail "tarvexctl doctor finds no problem without pcscd"
grep -q '^problem pcsc-service: .*pcscd' <<<"$doctor_out" || fail "tarvexctl doctor does not name pcscd: $doctor_out"

# -- the test hooks: a simulated reader in CDC personality behind a link in
# a device folder, and a reader's drive in a stand-in mount table. The
# development build's tarvexctl lists both; the installed one neither.
mkdir -p "$root/tmp/zn480dev" "$root/tmp/zn480drive"
: > "$root/tmp/zn480drive/APDU_314.MSD"
# A loop device is a fixed drive, which the drive scan also looks at.
echo "/dev/loop0 /tmp/zn480drive ext2 rw 0 0" > "$root/tmp/zn480mounts"
"$TARVEX_T_DEV_BIN/zn480sim" --cdc-link "$root/tmp/zn480dev/ttyACM0" >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -L "$root/tmp/zn480dev/ttyACM0" ] && break; sleep 0.05; done
hooks_env=(ZN480_DEV_DIR="$root/tmp/zn480dev" ZN480_MOUNTS_FILE="$root/tmp/zn480mounts" ZN480_SYSFS_DIR="$root/tmp")
dev_list=$(env "${hooks_env[@]}" sed "s#/tmp/zn480drive#$root/tmp/zn480drive#" "$root/tmp/zn480mounts" >"$work/mounts-outside"; \
    env ZN480_DEV_DIR="$root/tmp/zn480dev" ZN480_MOUNTS_FILE="$work/mounts-outside" "$TARVEX_T_DEV_BIN/tarvexctl" list 2>&1 || true)
if [[ "$dev_list" != *"CDC   01020304"* ]] || [[ "$dev_list" != *MSD* ]]; then
    fail "the hooks' setup does not work: the development build lists '$dev_list'; simulator: $(tail -3 "$work/sim.log")"
fi
CASE="the hook variables set" check_list_without_pcscd \
    env ZN480_DEV_DIR=/tmp/zn480dev ZN480_MOUNTS_FILE=/tmp/zn480mounts ZN480_SYSFS_DIR=/tmp tarvexctl list
kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
in_root sh -c 'man -w tarvexctl' >/dev/null 2>&1 || [ ! -x "$root/usr/bin/man" ] || fail "man does not find tarvexctl"

start=$SECONDS
# -- start through the launcher, as the desktop entry does (not through
# in_root: the background job must be the program's own pid)
chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 DISPLAY="$TARVEX_T_DISPLAY" \
    XDG_RUNTIME_DIR=/tmp TARVEX_STATE_FILE=/tmp/tarvex-state tarvex >"$work/tarvex.log" 2>&1 &
app=$!
win=
for _ in $(seq 300); do
    # awk reads to the end: an early exit would kill xwininfo with SIGPIPE.
    win=$(DISPLAY=$TARVEX_T_DISPLAY xwininfo -root -tree 2>/dev/null | awk '/"ZN480 USB Switch"/ && !w {w = $1} END {print w}')
    [ -n "$win" ] && break
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$win" ]; then
    fail "no window 'ZN480 USB Switch' appeared; program output: $(tail -5 "$work/tarvex.log")"
else
    [ "$(readlink "/proc/$app/exe")" = "$root/usr/lib/tarvex/Tarvex" ] \
        || fail "the launcher ran $(readlink "/proc/$app/exe"), not /usr/lib/tarvex/Tarvex"
    sleep 1 # let the first scan finish painting
    mkdir -p "$(dirname "$TARVEX_T_SHOT")"
    DISPLAY=$TARVEX_T_DISPLAY import -window "$win" -frame "$TARVEX_T_SHOT" || fail "screenshot failed"
    echo "window $win up after $((SECONDS - start)) s; screenshot $TARVEX_T_SHOT"
fi
kill -0 "$app" 2>/dev/null || fail "the program exited early: $(tail -5 "$work/tarvex.log")"
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
# The window's state file is a test hook too: the installed program writes none.
[ ! -e "$root/tmp/tarvex-state" ] || fail "the installed Tarvex wrote TARVEX_STATE_FILE: $(head -3 "$root/tmp/tarvex-state")"

# -- with the recommendations: pcscd and libccid installed afterwards (from
# what apt can reach; the daemon itself is not started in the root)
start=$SECONDS
if timeout 120 chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Options::=--force-unsafe-io pcscd libccid \
        >"$work/install-pcscd.log" 2>&1; then
    [ -x "$root/usr/sbin/pcscd" ] || fail "pcscd is not there after installing it"
    # Installed, not started (nothing starts services in this root).
    CASE="pcscd installed" check_list_without_pcscd tarvexctl list
    echo "pcscd and libccid installed beside it in $((SECONDS - start)) s"
else
    fail "apt-get install pcscd libccid failed: $(tail -5 "$work/install-pcscd.log")"
fi

# -- remove, then purge: nothing of the package may stay
start=$SECONDS
in_root apt-get remove -y tarvex >"$work/remove.log" 2>&1 || { fail "apt-get remove failed"; tail -20 "$work/remove.log" >&2; }
case "$(status)" in
    "deinstall ok config-files"|"unknown ok not-installed"|"") ;;
    *) fail "status after remove: '$(status)'" ;;
esac
for f in $files /usr/lib/tarvex; do
    if [ -e "$root$f" ]; then fail "left behind after remove: $f"; fi
done
in_root apt-get purge -y tarvex >"$work/purge.log" 2>&1 || { fail "apt-get purge failed"; tail -20 "$work/purge.log" >&2; }
case "$(status)" in
    "unknown ok not-installed"|"") ;;
    *) fail "status after purge: '$(status)'" ;;
esac
audit=$(in_root dpkg --audit); [ -z "$audit" ] || fail "dpkg --audit after purge: $audit"

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "removed and purged in $((SECONDS - start)) s"
echo "install, start, remove and purge passed ($TARVEX_T_MODE root)"
INNER
}

use_overlay() {
    echo "note: $1; using an overlay of this machine's root instead"
    kill_in_root
    # Deleting a half-made root takes a while on a busy disk: do it meanwhile
    # (cleanup waits for it).
    if [ -e "$root" ]; then
        mv "$root" "$work/stale-root"
        rm -rf --one-file-system "$work/stale-root" &
    fi
    run_in_root overlay 120
}

# ---- fresh root first ------------------------------------------------------
. /etc/os-release
suite=${VERSION_CODENAME:-bookworm}
mirror=${TARVEX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${TARVEX_DEBIAN_SECURITY:-http://deb.debian.org/debian-security}
command -v mmdebstrap >/dev/null || { use_overlay "mmdebstrap is not installed"; exit; }

start=$SECONDS
# The sources of a new Debian machine: main, updates and security.
# mmdebstrap runs in a mount namespace of its own, so that whatever it has
# mounted inside the root is gone with it even when the time-out stops it.
if ! timeout $((fresh_budget - 30)) unshare -m --propagation private mmdebstrap --variant=minbase --mode=root \
        --skip=cleanup/apt/lists --skip=download/empty --dpkgopt=force-unsafe-io \
        --setup-hook='mkdir -p "$1/var/cache/apt/archives"' \
        --setup-hook='cp -al /var/cache/apt/archives/*.deb "$1/var/cache/apt/archives/" 2>/dev/null || true' \
        "$suite" "$root" \
        "deb $mirror $suite main" "deb $mirror $suite-updates main" \
        "deb $security $suite-security main" >"$work/bootstrap.log" 2>&1; then
    tail -3 "$work/bootstrap.log"
    use_overlay "bootstrapping a fresh $suite root failed or took over $((fresh_budget - 30)) s"
    exit
fi
echo "fresh $suite root bootstrapped in $((SECONDS - start)) s"
left=$((fresh_budget - (SECONDS - start)))
[ "$left" -ge 20 ] || left=20
rc=0
run_in_root fresh "$left" || rc=$?
if [ "$rc" = 75 ]; then
    use_overlay "the fresh root ran out of its $fresh_budget s"
    exit
fi
exit "$rc"
