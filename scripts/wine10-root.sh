#!/usr/bin/env bash
# Makes a Debian 13 ("trixie") root with Wine 10 and pcsc-lite 2, once per
# machine, into a cache folder outside the clone, and prints the root's path
# on its last line of stdout. A later run with the same package set reuses it
# at once.
#
# Why a second distribution: Debian 12's Wine 8 has only stubs in winscard.dll,
# so the Windows PC/SC code cannot run there. Wine 10's winscard.dll forwards
# every call to the machine's libpcsclite.so.1, so inside this root the
# Windows programs talk to a real pcscd serving virtual readers. The tests
# enter the root with tests/support/wine10-enter.sh.
#
# Usage: scripts/wine10-root.sh [--print-root]
#   --print-root  print where the root would be and exit (builds nothing)
# Environment:
#   TARVEX_WINE10_CACHE  parent folder of the caches (default ~/.cache/tarvex)
#
# Needs root (the packages are unpacked with their owners). Only Debian's own
# packages go in, from the mirror the machine's own apt sources name; the
# host's apt state and its pcscd are not touched.
set -euo pipefail

suite=trixie
# wine: the /usr/bin wrappers (wine, wineserver, wineboot, msiexec);
# wine64: the 64-bit Wine itself; pcscd and vsmartcard-vpcd: the daemon and
# the virtual reader driver; libpcsclite1: what winscard.dll loads.
packages=(wine wine64 pcscd vsmartcard-vpcd libpcsclite1 procps)
# Bumped when the way the root is made changes in a way the list does not show.
recipe=1

key="$( { echo "$suite $recipe"; printf '%s\n' "${packages[@]}"; } | sha256sum | cut -c1-12)"
cache_root="${TARVEX_WINE10_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvex}"
cache="$cache_root/wine10-$suite-$key"
root="$cache/root"

if [ "${1:-}" = "--print-root" ]; then echo "$root"; exit 0; fi

# A finished root leaves a stamp; a folder without one is an interrupted
# build and is started over.
if [ -f "$cache/complete" ]; then
  echo "Wine 10 root ($suite): reusing $root" >&2
  echo "$root"
  exit 0
fi

log() { echo "[wine10-root $(date +%H:%M:%S)] $*" >&2; }
[ "$(id -u)" -eq 0 ] || { log "needs root (packages are unpacked with their owners)"; exit 1; }
command -v mmdebstrap >/dev/null || { log "mmdebstrap is missing: apt-get install mmdebstrap"; exit 1; }

# The mirror is the one that serves this machine's own base system, so that
# no address lives in the repository and a machine behind a local mirror
# uses it.
mirror="$(apt-cache policy base-files | awk '/^ +[0-9]+ (https?|file):/ {print $2; exit}')"
[ -n "$mirror" ] || { log "no apt origin serves base-files"; exit 1; }

start=$(date +%s)
log "making a Debian $suite root with ${packages[*]} from $mirror into $root (about 4 min, 1.5 GB)"
rm -rf "$cache"
mkdir -p "$cache"
# Progress: mmdebstrap's own phases, one line each, the full log beside.
set +e
mmdebstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
  --aptopt='APT::Install-Recommends "false"' --dpkgopt='path-exclude=/usr/share/doc/*' \
  --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*' \
  "$suite" "$root" "$mirror" 2>&1 | while IFS= read -r line; do
    printf '%s\n' "$line" >>"$cache/mmdebstrap.log"
    case "$line" in
      I:*) log "${line#I: }" ;;
    esac
  done
rc=${PIPESTATUS[0]}
set -e
if [ "$rc" -ne 0 ]; then
  tail -30 "$cache/mmdebstrap.log" >&2
  log "failed, see $cache/mmdebstrap.log"; exit 1
fi

# Mount points the tests bind their folders onto.
mkdir -p "$root/run/pcscd" "$root/tmp/.X11-unix"
chmod 1777 "$root/tmp" "$root/tmp/.X11-unix"
# The trixie wrappers look for the 64-bit Wine here when only wine64 is in.
for tool in wine wineserver wineboot msiexec; do
  [ -x "$root/usr/bin/$tool" ] || { log "the root has no /usr/bin/$tool"; exit 1; }
done
[ -f "$root/usr/lib/pcsc/drivers/serial/libifdvpcd.so" ] || { log "the root has no vpcd driver"; exit 1; }

echo "$suite ${packages[*]}" >"$cache/complete"
log "done in $(( ($(date +%s) - start) / 60 )) min $(( ($(date +%s) - start) % 60 )) s: $root ($(du -sh "$root" | cut -f1))"
echo "$root"
