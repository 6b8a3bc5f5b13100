#!/usr/bin/env bash
# bench_startup: Tarvex start-up time to a shown window, resident memory
# after start-up, and CPU use while idle, on a private Xvfb with no readers.
#   bench_startup [BIN_DIR]   (default: the folder this script is in)
# Idle CPU is measured twice for 10 s each: with the refresh box checked (the
# 2000 ms scan runs and finds nothing) and with it unchecked (the tick does
# nothing). Goal: under 0.5 % of one core either way. Wake-ups per second
# (context switches) show whether anything polls faster than it should.
set -uo pipefail
bin="${1:-$(cd "$(dirname "$0")" && pwd)}"
exe="$bin/Tarvex"
runs="${BENCH_STARTUP_RUNS:-5}"
idle_s="${BENCH_IDLE_SECONDS:-10}"
[ -x "$exe" ] || { echo "bench_startup: no Tarvex in $bin"; exit 1; }
for t in Xvfb xdotool; do
  command -v $t >/dev/null || { echo "bench_startup: $t is missing"; exit 1; }
done

tmp=$(mktemp -d /tmp/bench-startup-XXXXXX)
xpid="" apid=""
cleanup() {
  [ -n "$apid" ] && kill "$apid" 2>/dev/null && wait "$apid" 2>/dev/null
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null && wait "$xpid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

mkfifo "$tmp/fd"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$tmp/fd" >"$tmp/xvfb.log" 2>&1 &
xpid=$!
display=$(timeout 20 head -n1 "$tmp/fd")
[ -n "$display" ] || { echo "bench_startup: Xvfb did not start"; exit 1; }
export DISPLAY=":$display"

# No readers of any kind: no PC/SC service, an empty device folder for the
# serial ports, no removable drives to speak of.
mkdir -p "$tmp/dev"
export PCSCLITE_CSOCK_NAME="$tmp/no-pcscd.comm"
export ZN480_DEV_DIR="$tmp/dev"
export QT_QPA_PLATFORM=xcb

now_ns() { date +%s%N; }
cpu_ns() {  # time on a CPU of every thread of $1, in ns
  local sum=0 f v
  for f in /proc/"$1"/task/*/schedstat; do
    read -r v _ <"$f" 2>/dev/null && sum=$((sum + v))
  done
  echo "$sum"
}
ctx_switches() {
  awk '/ctxt_switches/ {s += $2} END {print s}' /proc/"$1"/status
}
# Starts Tarvex and waits until its window is mapped; sets ms. It runs in
# this shell, not in $(...): a subshell's apid would be lost to stop_app and
# every run's Tarvex would live on beside the next.
start_app() {
  local t0 t1
  t0=$(now_ns)
  "$exe" >"$tmp/app.log" 2>&1 &
  apid=$!
  # Poll rather than use xdotool's --sync, which looks only every 0.5 s.
  local deadline=$((t0 + 30000000000))
  until xdotool search --onlyvisible --pid "$apid" >/dev/null 2>&1; do
    if [ "$(now_ns)" -gt "$deadline" ] || ! kill -0 "$apid" 2>/dev/null; then
      echo "bench_startup: no window within 30 s" >&2
      cat "$tmp/app.log" >&2
      return 1
    fi
    sleep 0.01
  done
  t1=$(now_ns)
  ms=$(((t1 - t0) / 1000000))
}
stop_app() { kill "$apid" 2>/dev/null; wait "$apid" 2>/dev/null; apid=""; }

times=()
for ((i = 0; i < runs; i++)); do
  start_app || exit 1
  times+=("$ms")
  stop_app
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
median=${sorted[$((runs / 2))]}

idle() {  # prints "cpu% wakeups/s" over the idle period
  local c0 c1 s0 s1
  c0=$(cpu_ns "$apid"); s0=$(ctx_switches "$apid")
  sleep "$idle_s"
  c1=$(cpu_ns "$apid"); s1=$(ctx_switches "$apid")
  awk -v c=$((c1 - c0)) -v s=$((s1 - s0)) -v t="$idle_s" \
    'BEGIN {printf "%.3f %.1f", c / (t * 1e7), s / t}'
}

start_app || exit 1
sleep 2  # let the first scan cycle run and start-up work settle
rss=$(awk '/VmRSS/ {print $2}' /proc/"$apid"/status)
hwm=$(awk '/VmHWM/ {print $2}' /proc/"$apid"/status)
read -r cpu_checked wake_checked <<<"$(idle)"

# Uncheck the refresh box: a click on it (window at the screen's origin, box
# at 120/2040 twips = 8/136 px at 96 dpi).
wid=$(xdotool search --onlyvisible --pid "$apid" | head -n1)
geo=$(xdotool getwindowgeometry --shell "$wid")
eval "$geo"
xdotool mousemove --window "$wid" 14 144 click 1
sleep 1
read -r cpu_unchecked wake_unchecked <<<"$(idle)"
stop_app

printf '%-44s %12s\n' "measure" "value"
printf '%-44s %12s\n' "start-up to shown window, median of $runs (ms)" "$median"
printf '%-44s %12s\n' "start-up to shown window, min / max (ms)" "${sorted[0]} / ${sorted[$((runs - 1))]}"
printf '%-44s %12s\n' "resident memory after start-up (KiB)" "$rss"
printf '%-44s %12s\n' "peak resident memory (KiB)" "$hwm"
printf '%-44s %12s\n' "idle CPU, box checked, no readers (% core)" "$cpu_checked"
printf '%-44s %12s\n' "  wake-ups per second" "$wake_checked"
printf '%-44s %12s\n' "idle CPU, box unchecked (% core)" "$cpu_unchecked"
printf '%-44s %12s\n' "  wake-ups per second" "$wake_unchecked"
printf '(goal: idle CPU under 0.5 %% of a core; window %sx%s)\n' "$WIDTH" "$HEIGHT"
