#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is missing,
# makes the Wine 10 root (Debian 13) once, builds the Windows cross-builds
# and Linux, runs the sanitizer build's tests
# and a short fuzzing run, then the test suite, then builds the Windows
# program (Qt for MinGW on the first run) and tests its MSI under Wine. Each
# test that needs a service (a private pcscd, an Xvfb display, a umockdev
# testbed, a loop-mounted drive) starts and stops its own.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test

# The Debian 13 root with Wine 10, whose winscard.dll reaches a real
# pcsc-lite: built once per machine into a cache (about 3 min), then reused.
# Its tests fail instead of skipping when it is missing.
echo "== Wine 10 root (Debian 13, real PC/SC for the Windows programs)"
scripts/wine10-root.sh >/dev/null
export TARVEX_REQUIRE_WINE10=1

echo "== Windows cross-builds (MinGW-w64)"
scripts/build.sh mingw64
scripts/build.sh mingw32
scripts/check-exports.sh build/mingw32/bin/SERCHAN.dll

echo "== Linux build"
scripts/build.sh linux

echo "== Sanitizer build (AddressSanitizer + UBSan) and its tests"
scripts/asan.sh

echo "== Fuzzing (a short run of each target)"
scripts/fuzz.sh 8

echo "== Tests"
status=0
ctest --test-dir build/linux --output-on-failure -j"$(nproc)" --timeout 600 -LE '^wine-gui$' "$@" || status=$?

# The Windows program last, so that a Linux fault shows before its long build:
# Qt for MinGW (built once per machine into a cache, then reused), Tarvex.exe,
# its zip and MSI, then the MSI installed and the program driven under Wine.
echo "== Windows program (Qt for MinGW-w64, Tarvex.exe, zip, MSI)"
scripts/win-package.sh
echo "== Windows program under Wine"
ctest --test-dir build/linux --output-on-failure --timeout 600 -L '^wine-gui$' "$@" || status=$?
exit $status
