#!/usr/bin/env bash
# Builds Tarvex (and tarvexctl) for Windows x86_64 and packages them: the
# deploy folder, its zip and the MSI installer, in build/mingw64-gui/deploy/.
#   scripts/win-package.sh
# Qt for MinGW comes from scripts/qt-mingw.sh (built on the first run, then
# reused from its cache). Output:
#   Tarvex/                      stripped, ready to copy (checked with objdump -p)
#   Tarvex-<version>-win64.zip   that folder zipped
#   Tarvex-<version>-win64.msi   per-machine installer (wixl)
# and, for the upgrade tests, ../upgrade-test/: the MSI of an older version
# and that of an earlier build of this version.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
# The zip's budget, and a guard against the folder growing unnoticed (a
# second copy of a runtime, a debug build): Qt's three DLLs are 10 MB of it,
# the programs' own code about 0.55 MB (11.01 MB in all with tarvexctl's
# wait, info and doctor).
max_zip_bytes=$((11 * 1000 * 1000 + 500 * 1000))

qt="$(scripts/qt-mingw.sh | tail -n1)"
echo "== Tarvex.exe (preset mingw64-gui, Qt in $qt)"
cmake --preset mingw64-gui -DTARVEX_QT_MINGW_PREFIX="$qt" >/dev/null
cmake --build --preset mingw64-gui -j"$(nproc)"

build=build/mingw64-gui
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
# The manifest's DPI awareness and common controls.
exe="$build/bin/Tarvex.exe"
# (grep reads to the end, so that strings never dies of a closed pipe.)
for want in 'PerMonitorV2' 'Microsoft.Windows.Common-Controls'; do
  strings "$exe" | grep "$want" >/dev/null || { echo "Tarvex.exe's manifest lacks $want" >&2; exit 1; }
done
out="$build/deploy"
dir="$out/Tarvex"
rm -rf "$out"
mkdir -p "$dir/platforms" "$dir/styles"

# The program, its console twin, its library and its tool; Qt's three
# modules and the two plugins a Widgets program loads on Windows; MinGW's C++
# runtime, which the Qt DLLs and the four programs share (see the top
# CMakeLists.txt). tarvexctl.exe, like Tarvex.exe, finds SERCHAN.dll and
# kbflash.exe in its own folder.
cp "$build"/bin/{Tarvex.exe,tarvexctl.exe,SERCHAN.dll,kbflash.exe} "$dir/"
cp "$qt"/bin/Qt6{Core,Gui,Widgets}.dll "$dir/"
cp "$qt"/plugins/platforms/qwindows.dll "$dir/platforms/"
cp "$qt"/plugins/styles/qwindowsvistastyle.dll "$dir/styles/"
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  cp "$(x86_64-w64-mingw32-g++-posix -print-file-name=$dll)" "$dir/"
done
find "$dir" -type f \( -name '*.exe' -o -name '*.dll' \) -exec x86_64-w64-mingw32-strip --strip-unneeded {} +
scripts/check-imports.sh "$dir"

# Each of our binaries carries this version in its version resource (what
# Explorer shows and Windows Installer compares with a file on disk), read
# back from the stripped files as windres decompiles them.
ours=(Tarvex.exe tarvexctl.exe kbflash.exe SERCHAN.dll)
fixed="FILEVERSION ${version//./, }, 0"
for f in "${ours[@]}"; do
  res=$(x86_64-w64-mingw32-windres -i "$dir/$f" -O rc 2>/dev/null) || res=
  if ! grep -q "$fixed\$" <<<"$res" || ! grep -qF "VALUE \"FileVersion\", \"$version\"" <<<"$res"; then
    echo "$f has no version resource $version" >&2
    exit 1
  fi
done

zip="Tarvex-$version-win64.zip"
(cd "$out" && zip -q -9 -r "$zip" Tarvex)
size=$(stat -c %s "$out/$zip")
echo "$out/$zip: $((size / 1024)) KiB (folder: $(du -sk "$dir" | cut -f1) KiB)"
if [ "$size" -gt "$max_zip_bytes" ]; then
  echo "the zip is larger than $max_zip_bytes bytes" >&2
  exit 1
fi

# The MSI: wixl-heat lists the folder as components, wixl compiles both.
# wixl looks files up by relative paths only, hence the work in the folder
# that holds Tarvex/ and the icon. Each run makes a new product (and package)
# code; the installer replaces any other build of the same or an older
# version with it (packaging/windows/Tarvex.wxs).
#   make_msi VERSION FOLDER OUTPUT.msi
make_msi() {
  local v=$1 from=$2 to=$3 major minor patch
  IFS=. read -r major minor patch <<<"$v"
  (cd "$from" && wixl -a x64 -D Win64=yes -D Version="$v" -D NextPatchVersion="$major.$minor.$((patch + 1))" \
     -D SourceDir=Tarvex -D IconFile=tarvex.ico -o "$to" "$root/packaging/windows/Tarvex.wxs" "$root/$out/files.wxs")
}
msi="Tarvex-$version-win64.msi"
cp app/win/tarvex.ico "$out/"
(cd "$out" && find Tarvex -type f | sort | wixl-heat -p Tarvex/ --component-group TarvexFiles \
   --var var.SourceDir --directory-ref INSTALLDIR --win64 >files.wxs)
make_msi "$version" "$out" "$root/$out/$msi"
echo "$out/$msi: $(( $(stat -c %s "$out/$msi") / 1024 )) KiB"

# For the tests of the in-place upgrade: an older version of the same MSI,
# and an earlier build of this same version (a fixed build redeployed). That
# one holds the same files with another link time stamp in the PE header of
# each of our binaries, as a rebuild has: same size, same version resource,
# other bytes.
tests="$build/upgrade-test"
rm -rf "$tests"
mkdir -p "$tests/earlier"
make_msi 0.0.1 "$out" "$root/$tests/Tarvex-0.0.1-win64.msi"
cp -r "$dir" "$out/tarvex.ico" "$tests/earlier/"
for f in "${ours[@]}"; do
  file="$tests/earlier/Tarvex/$f"
  stamp_at=$(( $(od -An -t u4 -j 60 -N 4 "$file") + 8 ))
  stamp=$(( ($(od -An -t u4 -j "$stamp_at" -N 4 "$file") + 1) & 0xffffffff ))
  printf "$(printf '\\x%02x' $((stamp & 255)) $((stamp >> 8 & 255)) $((stamp >> 16 & 255)) $((stamp >> 24)))" |
    dd of="$file" bs=1 seek="$stamp_at" conv=notrunc status=none
  if cmp -s "$file" "$dir/$f"; then
    echo "could not make an earlier build of $f" >&2
    exit 1
  fi
done
make_msi "$version" "$tests/earlier" "$root/$tests/Tarvex-$version-earlier-build-win64.msi"
