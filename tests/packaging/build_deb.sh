#!/bin/bash
# Builds the Debian package from the already-built tree into OUT_DIR, in a
# folder of its own so that it never collides with a developer's cpack run.
# Usage: build_deb.sh CPACK CPACK_CONFIG OUT_DIR
set -euo pipefail
cpack=$1 config=$2 out=$3

rm -rf "$out"
mkdir -p "$out"
"$cpack" -G DEB --config "$config" -B "$out"

debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: expected exactly one .deb in $out, found: ${debs[*]}" >&2
    exit 1
fi
echo "built ${debs[0]}"
