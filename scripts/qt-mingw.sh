#!/usr/bin/env bash
# Builds Qt for Windows x86_64 (MinGW-w64) from Debian's own qt6-base source,
# once per machine, into a cache folder outside the clone, and prints the
# installed prefix on its last line of stdout. A later run with the same Qt
# version and configure options reuses the cache at once.
#
# Usage: scripts/qt-mingw.sh [--print-prefix]
#   --print-prefix  print where the cache would be and exit (builds nothing)
# Environment:
#   TARVEX_QT_CACHE  parent folder of the caches (default ~/.cache/tarvex)
#   TARVEX_QT_JOBS   parallel build jobs (default: the number of cores)
#
# Debian has no Qt for MinGW, but the host Qt (qt6-base-dev) is the same
# version, so its moc/rcc/uic serve as the host tools of the cross-build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
toolchain="$root/cmake/toolchain-mingw64.cmake"

# The source version is the installed host Qt's, so that host tools and target
# libraries agree.
src_version="$(dpkg-query -W -f='${source:Version}' qt6-base-dev)"
qt_version="${src_version%%+*}"

# Options that do not fit a plain build, each learned the hard way:
# - tabletevent needs wintab.h, which Debian's source tree leaves out;
# - the 6.4.2 windows platform plugin does not compile without OpenGL;
# - without direct2d, directwrite3 must go too, or qwindows.dll fails to link.
# Everything else left out is what Tarvex does not use, to keep the
# deployment small.
configure_opts=(
  -DBUILD_SHARED_LIBS=ON -DCMAKE_BUILD_TYPE=Release
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF
  -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
  -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF -DFEATURE_jpeg=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_direct2d=OFF -DFEATURE_directwrite=OFF
  -DFEATURE_directwrite3=OFF -DFEATURE_tabletevent=OFF
  -DFEATURE_opengl=ON -DFEATURE_opengl_desktop=ON -DFEATURE_testlib=ON
)

# The key covers everything that changes the result: the source version, the
# options and the toolchain file's content.
key="$( { echo "$src_version"; printf '%s\n' "${configure_opts[@]}"; cat "$toolchain"; } \
  | sha256sum | cut -c1-12)"
cache_root="${TARVEX_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvex}"
cache="$cache_root/qt-$qt_version-mingw64-$key"
prefix="$cache/prefix"

if [ "${1:-}" = "--print-prefix" ]; then echo "$prefix"; exit 0; fi

# A finished build leaves a stamp; a folder without one is an interrupted
# build and is started over.
if [ -f "$cache/complete" ]; then
  echo "Qt $qt_version for MinGW-w64: reusing $prefix" >&2
  echo "$prefix"
  exit 0
fi

log() { echo "[qt-mingw $(date +%H:%M:%S)] $*" >&2; }
start=$(date +%s)
log "building Qt $qt_version for MinGW-w64 into $cache (about 1,070 steps: 15 min on 2 idle cores, longer on busy ones)"
rm -rf "$cache"
mkdir -p "$cache"
work="$cache/work"
mkdir -p "$work"

# --- source, through apt with a private deb-src list -------------------------
# The deb-src entries are derived from the machine's own apt sources: the
# stanzas that serve the installed qt6-base-dev, with Types set to deb-src.
# apt runs on private state and list folders, so the system's apt state is not
# touched and nothing is left behind; no mirror address lives in the repository.
apt_tmp="$(mktemp -d)"
trap 'rm -rf "$apt_tmp"' EXIT
origin="$(apt-cache policy qt6-base-dev | awk '/^ +[0-9]+ (https?|file):/ {print $2; exit}')"
[ -n "$origin" ] || { log "no apt origin serves qt6-base-dev"; exit 1; }
python3 - "$origin" "$apt_tmp/src.sources" <<'EOF'
import glob, re, sys
origin, out = sys.argv[1].rstrip('/'), sys.argv[2]
stanzas = []
for path in sorted(glob.glob('/etc/apt/sources.list.d/*.sources')):
    for block in re.split(r'\n\s*\n', open(path).read()):
        fields = {}
        for line in block.splitlines():
            if line.startswith('#') or ':' not in line or line[0].isspace():
                continue
            k, v = line.split(':', 1)
            fields[k.strip()] = v.strip()
        if 'deb' in fields.get('Types', '').split() and \
                origin in [u.rstrip('/') for u in fields.get('URIs', '').split()]:
            stanzas.append(fields)
try:
    for line in open('/etc/apt/sources.list'):
        parts = line.split('#', 1)[0].split()
        if len(parts) >= 3 and parts[0] == 'deb':
            if parts[1].startswith('['):  # options: keep them out of the way
                parts = [parts[0]] + [p for p in parts[1:] if not ('=' in p or p in '[]')]
            if parts[1].rstrip('/') == origin:
                stanzas.append({'URIs': parts[1], 'Suites': parts[2],
                                'Components': ' '.join(parts[3:])})
except FileNotFoundError:
    pass
if not stanzas:
    sys.exit('no apt source entry for ' + origin)
with open(out, 'w') as f:
    for s in stanzas:
        s = dict(s, Types='deb-src')
        for k in ('Types', 'URIs', 'Suites', 'Components', 'Signed-By'):
            if s.get(k):  # an inline key block (continuation lines) is left out
                f.write(f'{k}: {s[k]}\n')
        f.write('\n')
EOF
mkdir -p "$apt_tmp/lists/partial" "$apt_tmp/cache/archives/partial"
apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_tmp/parts"
  -o "Dir::State::Lists=$apt_tmp/lists" -o "Dir::Cache=$apt_tmp/cache"
  -o "APT::Get::List-Cleanup=0")
mkdir -p "$apt_tmp/parts"
mv "$apt_tmp/src.sources" "$apt_tmp/parts/src.sources"
log "fetching the qt6-base $src_version source index (deb-src from $origin)"
apt-get "${apt_opts[@]}" -qq update >"$cache/apt.log" 2>&1 || { cat "$cache/apt.log" >&2; exit 1; }
log "downloading qt6-base $src_version source"
(cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only "qt6-base=$src_version") \
  >>"$cache/apt.log" 2>&1 || { cat "$cache/apt.log" >&2; exit 1; }
rm -rf "$apt_tmp"; trap - EXIT
log "unpacking with Debian's patches"
(cd "$work" && dpkg-source -x --no-check ./*.dsc src) >"$cache/unpack.log" 2>&1 \
  || { cat "$cache/unpack.log" >&2; exit 1; }
rm -f "$work"/*.tar.* "$work"/*.dsc

# --- configure, build, install -----------------------------------------------
log "configuring"
cmake -G Ninja -S "$work/src" -B "$work/build" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" \
  "${configure_opts[@]}" >"$cache/configure.log" 2>&1 \
  || { tail -50 "$cache/configure.log" >&2; log "configure failed, see $cache/configure.log"; exit 1; }

# Ninja's "[n/N]" lines go to the log; a summary line every 5% goes to the
# terminal, so that the long wait shows it is moving.
log "building with ${TARVEX_QT_JOBS:-$(nproc)} jobs (full log: $cache/build.log)"
set +e
progress() {
  local line n total pct next=5
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$cache/build.log"
    [[ "$line" =~ ^\[([0-9]+)/([0-9]+)\] ]] || continue
    n=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
    pct=$((100 * n / total))
    if [ "$pct" -ge "$next" ]; then
      log "$(printf '%3d%% (%d/%d steps, %d min elapsed)' "$pct" "$n" "$total" $((($(date +%s) - start) / 60)))"
      next=$((pct - pct % 5 + 5))
    fi
  done
}
ninja -C "$work/build" -j"${TARVEX_QT_JOBS:-$(nproc)}" 2>&1 | progress
rc=${PIPESTATUS[0]}
set -e
if [ "$rc" -ne 0 ]; then
  grep -m20 -B2 -A10 'FAILED' "$cache/build.log" >&2 || tail -50 "$cache/build.log" >&2
  log "build failed, see $cache/build.log"; exit 1
fi
log "installing"
cmake --install "$work/build" >"$cache/install.log" 2>&1 \
  || { tail -30 "$cache/install.log" >&2; exit 1; }
rm -rf "$work"
echo "$src_version ${configure_opts[*]}" >"$cache/complete"
log "done in $(( ($(date +%s) - start) / 60 )) min $(( ($(date +%s) - start) % 60 )) s: $prefix ($(du -sh "$prefix" | cut -f1))"
echo "$prefix"
