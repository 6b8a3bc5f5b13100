#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is missing,
# builds Linux and the Windows cross-builds, then runs the test suite. Each
# test that needs a service (a private pcscd, an Xvfb display, a umockdev
# testbed, a loop-mounted drive) starts and stops its own.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test

echo "== Windows cross-builds (MinGW-w64)"
scripts/build.sh mingw64
scripts/build.sh mingw32
scripts/check-exports.sh build/mingw32/bin/SERCHAN.dll

echo "== Linux build"
scripts/build.sh linux

echo "== Tests"
cd build/linux
ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@"
