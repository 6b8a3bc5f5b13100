#!/bin/bash
# Builds the Debian package into OUT_DIR the way it ships: from a build tree
# of its own, configured as the "deb" preset is (no tests, no simulator, and
# no test hooks, so the packaged programs ignore ZN480_DEV_DIR and the other
# test variables), never from the development tree the tests run in.
# Usage: build_deb.sh SOURCE_DIR BUILD_DIR OUT_DIR
set -euo pipefail
src=$1 build=$2 out=$3

# Debian's compiler and linker flags for packages (hardening included:
# stack protector, fortified functions, read-only relocations, bind now).
eval "$(cd "$src" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" \
    -DTARVEX_TESTS=OFF -DTARVEX_BENCH=OFF -DTARVEX_SIM=OFF -DTARVEX_TEST_HOOKS=OFF >"$build.configure.log" 2>&1 \
    || { tail -20 "$build.configure.log" >&2; exit 1; }
# Two jobs: the machine is shared with other builds.
cmake --build "$build" -j2 >"$build.build.log" 2>&1 || { tail -40 "$build.build.log" >&2; exit 1; }
grep -qx 'TARVEX_TEST_HOOKS:BOOL=OFF' "$build/CMakeCache.txt" \
    || { echo "FAIL: the package tree honours the test hooks" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out"

debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: expected exactly one .deb in $out, found: ${debs[*]}" >&2
    exit 1
fi
echo "built ${debs[0]}"
