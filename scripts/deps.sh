#!/usr/bin/env bash
# Installs the Debian 12 packages a task needs, only those that are missing.
# Usage: scripts/deps.sh run|test
# As root it runs apt-get itself; otherwise it prints the exact line to run.
set -euo pipefail

# run: what the demo needs; it builds the whole tree, tests included, so that
# one build folder serves both commands.
run_pkgs=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libpcsclite-dev
  pcscd vsmartcard-vpcd libudev-dev umockdev libumockdev-dev libx11-dev libxtst-dev
  xvfb openbox fonts-dejavu-core x11-xkb-utils x11-utils imagemagick e2fsprogs util-linux
  xdotool libgtest-dev libgmock-dev googletest)
test_pkgs=("${run_pkgs[@]}" libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
  binutils-mingw-w64-i686 wine wine64 xdotool clang libclang-rt-14-dev iproute2 procps
  dpkg-dev file udev mmdebstrap desktop-file-utils lintian python3 wixl zip)

case "${1:-test}" in
  run) want=("${run_pkgs[@]}") ;;
  test) want=("${test_pkgs[@]}") ;;
  *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "Missing packages. Run as root:" >&2
  echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
