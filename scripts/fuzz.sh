#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/, clang + libFuzzer + ASan/UBSan) and runs
# each one for a while on its seed corpus. A crash, leak, sanitizer report or
# failed check stops nothing else but makes the script fail; the input that
# did it is left in build/fuzz/artifacts/ with the target's log.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 10)
# Inputs that found new paths collect in build/fuzz/corpus/<target> and are
# reused by later runs; the seeds in fuzz/corpus/ are never written to.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
build=build/fuzz

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" -j"$(nproc)" >/dev/null || { cmake --build "$build" -j1; exit 1; }

export QT_QPA_PLATFORM=offscreen
mkdir -p "$build/artifacts"
status=0
for target in fuzz/corpus/*/; do
  name=$(basename "$target")
  exe="$build/$name"
  [ -x "$exe" ] || { echo "$name: not built"; status=1; continue; }
  work="$build/corpus/$name"
  mkdir -p "$work"
  log="$build/artifacts/$name.log"
  if "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$name-" "$work" "$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    printf '%-18s ok   %8s runs in %ss\n' "$name" "${runs:-?}" "$seconds"
  else
    printf '%-18s FAIL (log: %s)\n' "$name" "$log"
    grep -E 'ERROR|SUMMARY|#[0-9]+ 0x.* in ' "$log" | head -20
    status=1
  fi
done
exit $status
