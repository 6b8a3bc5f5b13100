#!/usr/bin/env bash
# bench_serchan_wine: runs bench_serchan_win.exe of the mingw64 build under
# Wine, in the prefix the Wine test driver makes (the simulated reader on
# COM5, its control line on COM20, a raw echo line on COM21), and prints its
# figures. Indicative only: Wine is not Windows.
#   bench_serchan_wine [WINDOWS_BIN_DIR]  (default: build/mingw64/bin of the
#                                          source tree this build came from)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
win="${1:-$here/../../mingw64/bin}"
if [ ! -f "$win/bench_serchan_win.exe" ]; then
  echo "bench_serchan_wine: not run: no bench_serchan_win.exe in $win (scripts/build.sh mingw64 builds it)"
  exit 0
fi
# The driver's output goes to a file: Wine's helpers would hold a pipe open.
log=$(mktemp /tmp/bench-serchan-wine-XXXXXX.log)
trap 'rm -f "$log"' EXIT
"$here/wine_driver" "$win" bench_serchan_win.exe >"$log" 2>&1
rc=$?
grep -v '^== bench_serchan_win.exe' "$log"
[ $rc -eq 77 ] && exit 0
exit $rc
