#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer build of the libraries, the
# program's modules, the window code and the tests (preset "asan", with the
# GUI on: the window tests run offscreen), then the tests under it.
#   scripts/asan.sh [extra ctest arguments]
# Left out, by label or name, and why:
#   packaging           builds and installs the .deb in a Debian root: tests
#                       the package, not the code, and takes minutes
#   windows, wine,      MinGW programs under Wine: not built by this preset
#   wine-gui
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

cmake --preset asan -DTARVEX_GUI=ON >/dev/null
cmake --build build/asan -j"$(nproc)"

# Leaks of libraries we do not build (fontconfig, Qt's platform plugins,
# the PC/SC client's per-thread data) are suppressed by name; see the file.
# verify_asan_link_order=0: programs that tests start under umockdev-wrapper
# get its library preloaded ahead of the ASan runtime; that order is harmless
# here (the preload only redirects file and ioctl calls).
export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:detect_odr_violation=1:verify_asan_link_order=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

cd build/asan
ctest --output-on-failure -j"$(nproc)" --timeout 600 \
  -LE '^(packaging|windows|wine|wine10|wine-gui)$' "$@"
