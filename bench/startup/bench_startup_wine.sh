#!/usr/bin/env bash
# bench_startup_wine: the Windows Tarvex.exe under Wine, beside the Linux
# figures of bench_startup: start-up to a shown window and the process's
# working set (its resident memory, which is what Wine's working set is),
# on a private Xvfb with a fresh Wine prefix and no readers. Indicative only:
# Wine is not Windows.
#   bench_startup_wine [DEPLOY_DIR]  (default: build/mingw64-gui/deploy/Tarvex
#                                     of the source tree this build came from)
# The first start in a prefix is shown apart: Wine sets things up on it.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dir="${1:-${TARVEX_WIN_DEPLOY:-$here/../../mingw64-gui/deploy/Tarvex}}"
runs="${BENCH_STARTUP_RUNS:-5}"
if [ ! -f "$dir/Tarvex.exe" ]; then
  echo "bench_startup_wine: not run: no Tarvex.exe in $dir (scripts/win-package.sh builds it)"
  exit 0
fi
for t in Xvfb xdotool wine wineboot wineserver; do
  command -v $t >/dev/null || { echo "bench_startup_wine: $t is missing"; exit 1; }
done

tmp=$(mktemp -d /tmp/bench-startup-wine-XXXXXX)
xpid="" apid=""
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  [ -n "$apid" ] && kill "$apid" 2>/dev/null && wait "$apid" 2>/dev/null
  # Everything of the prefix, the program included.
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null && wait "$xpid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

mkfifo "$tmp/fd"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$tmp/fd" >"$tmp/xvfb.log" 2>&1 &
xpid=$!
display=$(timeout 20 head -n1 "$tmp/fd")
[ -n "$display" ] || { echo "bench_startup_wine: Xvfb did not start"; exit 1; }
export DISPLAY=":$display" QT_QPA_PLATFORM=windows

# Wine's output goes to files only: its helper processes inherit whatever
# they are given and would hold a pipe open.
wineboot -i >"$tmp/wine.log" 2>&1 || { echo "bench_startup_wine: wineboot failed"; exit 1; }
# One server for all runs, as a logged-in session has.
wineserver -p >>"$tmp/wine.log" 2>&1

now_ns() { date +%s%N; }
wid=""
# Runs in this shell (not in $(...)), so that apid and wid stay known to
# stop_app; sets ms to the time from the start to the mapped main window.
start_app() {
  local t0 t1
  t0=$(now_ns)
  wine "$dir/Tarvex.exe" >"$tmp/app.log" 2>&1 &
  apid=$!
  local deadline=$((t0 + 60000000000))
  until wid=$(xdotool search --onlyvisible --name '^ZN480 USB Switch$' 2>/dev/null | head -n1) && [ -n "$wid" ]; do
    if [ "$(now_ns)" -gt "$deadline" ] || ! kill -0 "$apid" 2>/dev/null; then
      echo "bench_startup_wine: no window within 60 s" >&2
      cat "$tmp/app.log" >&2
      return 1
    fi
    sleep 0.01
  done
  t1=$(now_ns)
  ms=$(((t1 - t0) / 1000000))
}
stop_app() {
  # Debian's wine is a shell script: the program is its child, and the
  # window's _NET_WM_PID names it. Wine's own helpers (explorer.exe for the
  # desktop) stay, as they would on Windows.
  local pid
  pid=$(xdotool getwindowpid "$wid" 2>/dev/null)
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  wait "$apid" 2>/dev/null; apid=""
  # Until its window is gone, so that the next run's search finds its own.
  for _ in $(seq 200); do
    xdotool search --onlyvisible --name '^ZN480 USB Switch$' >/dev/null 2>&1 || return 0
    sleep 0.05
  done
  echo "bench_startup_wine: the window outlived its program" >&2
  exit 1
}

start_app || exit 1
first=$ms
stop_app
times=()
for ((i = 0; i < runs; i++)); do
  start_app || exit 1
  times+=("$ms")
  stop_app
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
median=${sorted[$((runs / 2))]}

# Working set: the Windows process is one Unix process under Wine; its pid is
# the window's _NET_WM_PID.
start_app || exit 1
sleep 3  # the first scan cycle and start-up work settle
pid=$(xdotool getwindowpid "$wid" 2>/dev/null)
rss=$(awk '/VmRSS/ {print $2}' /proc/"$pid"/status 2>/dev/null)
hwm=$(awk '/VmHWM/ {print $2}' /proc/"$pid"/status 2>/dev/null)
stop_app

printf '%-50s %12s\n' "measure (Tarvex.exe under $(wine --version 2>/dev/null))" "value"
printf '%-50s %12s\n' "first start in a fresh prefix, to shown window (ms)" "$first"
printf '%-50s %12s\n' "start-up to shown window, median of $runs (ms)" "$median"
printf '%-50s %12s\n' "start-up to shown window, min / max (ms)" "${sorted[0]} / ${sorted[$((runs - 1))]}"
printf '%-50s %12s\n' "working set after start-up (KiB)" "${rss:-?}"
printf '%-50s %12s\n' "peak working set (KiB)" "${hwm:-?}"
echo "(indicative only: Wine is not Windows)"
