#!/bin/bash
# Sanity checks of the built Debian package, without installing it: control
# fields and dependencies, the exact file list with modes and owners, the ELF
# files (no RPATH, stripped, the library's entry points), the launcher, the
# desktop entry and the maintainer scripts.
# Usage: check_deb.sh DEB_DIR SOURCE_DIR
set -uo pipefail
deb_dir=$1 src=$2
debs=("$deb_dir"/*.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "FAIL: no .deb in $deb_dir" >&2; exit 1; }

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# Closes a group of checks: "ok" only when none of the group failed.
group_start=0
ok() {
    if [ "$failures" -eq "$group_start" ]; then echo "ok: $*"; else echo "FAILED: $*"; fi
    group_start=$failures
}

work=$(mktemp -d)
launched=
cleanup() {
    [ -n "$launched" ] && kill "$launched" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# ---- control fields --------------------------------------------------------
dpkg-deb -e "$deb" "$work/control"
# A field's value with its continuation lines, as dpkg-deb -f prints it.
field() {
    awk -v name="$1" '
        /^[^ ]/ { on = (index($0, name ":") == 1); if (on) { v = substr($0, length(name) + 2); sub(/^ /, "", v); print v }; next }
        on { print }' "$work/control/control"
}
[ "$(field Package)" = tarvex ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[[ "$(field Version)" =~ ^[0-9][0-9.]*-[0-9]+$ ]] || fail "Version '$(field Version)' is not upstream-release"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[[ "$(field Installed-Size)" =~ ^[0-9]+$ ]] || fail "Installed-Size '$(field Installed-Size)'"
for f in Section Priority; do [ -n "$(field $f)" ] || fail "no $f field"; done
desc=$(field Description)
[ "$(printf '%s\n' "$desc" | wc -l)" -ge 3 ] || fail "Description has no long text"
[ "$(printf '%s\n' "$desc" | head -1 | wc -c)" -le 81 ] || fail "Description summary longer than 80 characters"

# Names in Depends, without versions or alternatives' bars.
depends=$(field Depends)
dep_names=" $(printf '%s' "$depends" | tr ',|' '\n\n' | sed -E 's/\(.*\)//; s/:any//; s/^ +| +$//g' | tr '\n' ' ') "
# Linked (found by dpkg-shlibdeps) and run-time needs (named by hand).
for want in libc6 libstdc++6 libqt6widgets6 libqt6gui6 libqt6core6 libudev1 libx11-6 libxtst6 \
            libpcsclite1 qt6-qpa-plugins; do
    [[ "$dep_names" == *" $want "* ]] || fail "Depends lacks $want: $depends"
done
# The PC/SC daemon and its CCID driver serve one personality of four: they
# are recommended, and must not be required.
recommends=$(field Recommends)
rec_names=" $(printf '%s' "$recommends" | tr ',|' '\n\n' | sed -E 's/\(.*\)//; s/^ +| +$//g' | tr '\n' ' ') "
for name in pcscd libccid; do
    [[ "$dep_names" == *" $name "* ]] && fail "Depends names $name, which only CCID readers need"
    [[ "$rec_names" == *" $name "* ]] || fail "Recommends lacks $name: $recommends"
done
# A dev package or a build tool would drag compilers onto users' machines.
for name in $dep_names; do
    [[ "$name" == *-dev || "$name" == cmake || "$name" == g++* ]] && fail "Depends names build-only package $name"
done
ok "control fields, Depends: $depends; Recommends: $recommends"

# ---- file list: exactly these files, with these modes, owned by root -------
declare -A want_mode=(
    [./usr/bin/tarvex]=-rwxr-xr-x
    [./usr/bin/tarvexctl]=-rwxr-xr-x
    [./usr/lib/tarvex/Tarvex]=-rwxr-xr-x
    [./usr/lib/tarvex/tarvexctl]=-rwxr-xr-x
    [./usr/lib/tarvex/kbflash]=-rwxr-xr-x
    [./usr/lib/tarvex/libserchan.so]=-rw-r--r--
    [./usr/lib/udev/rules.d/70-zn480.rules]=-rw-r--r--
    [./usr/share/applications/tarvex.desktop]=-rw-r--r--
    [./usr/share/icons/hicolor/scalable/apps/tarvex.svg]=-rw-r--r--
    [./usr/share/icons/hicolor/48x48/apps/tarvex.png]=-rw-r--r--
    [./usr/share/icons/hicolor/256x256/apps/tarvex.png]=-rw-r--r--
    [./usr/share/doc/tarvex/copyright]=-rw-r--r--
    [./usr/share/doc/tarvex/changelog.Debian.gz]=-rw-r--r--
    [./usr/share/lintian/overrides/tarvex]=-rw-r--r--
    [./usr/share/man/man1/tarvexctl.1.gz]=-rw-r--r--
    [./usr/share/man/man1/tarvex.1.gz]=-rw-r--r--
)
declare -A seen=()
while read -r mode owner _size _date _time path rest; do
    [ -n "$rest" ] && { fail "odd entry (link?) $path $rest"; continue; }
    [ "$owner" = root/root ] || fail "$path owned by $owner"
    if [[ "$mode" == d* ]]; then
        [ "$mode" = drwxr-xr-x ] || fail "directory $path has mode $mode"
        continue
    fi
    seen[$path]=1
    if [ -z "${want_mode[$path]:-}" ]; then
        fail "unexpected file in package: $path"
    elif [ "$mode" != "${want_mode[$path]}" ]; then
        fail "$path has mode $mode, want ${want_mode[$path]}"
    fi
done < <(dpkg-deb -c "$deb")
for path in "${!want_mode[@]}"; do
    [ -n "${seen[$path]:-}" ] || fail "missing from package: $path"
done
ok "file list, modes and owners"

# ---- unpacked files --------------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root"

# md5sums must cover every file so that debsums/dpkg --verify work.
(cd "$root" && md5sum --quiet -c "$work/control/md5sums") || fail "md5sums do not match the files"
[ "$(wc -l < "$work/control/md5sums")" -eq "${#want_mode[@]}" ] || fail "md5sums does not list every file"

for elf in usr/lib/tarvex/Tarvex usr/lib/tarvex/tarvexctl usr/lib/tarvex/kbflash usr/lib/tarvex/libserchan.so; do
    dyn=$(readelf -d "$root/$elf" 2>&1) || { fail "$elf is not ELF"; continue; }
    grep -qE '\((RPATH|RUNPATH)\)' <<<"$dyn" && fail "$elf carries an RPATH/RUNPATH: $(grep -E 'RPATH|RUNPATH' <<<"$dyn")"
    readelf -S "$root/$elf" | grep -q '\.debug_info' && fail "$elf is not stripped"
done
# The four entry points the program binds by name.
exports=$(nm -D --defined-only "$root/usr/lib/tarvex/libserchan.so" | awk '{print $3}')
for sym in SCOpenChannel SCSend SCReceive SCCloseChannel; do
    grep -qx "$sym" <<<"$exports" || fail "libserchan.so does not export $sym"
done
ok "ELF files: no RPATH, stripped, library exports"

# ---- launcher --------------------------------------------------------------
launcher=$root/usr/bin/tarvex
head -1 "$launcher" | grep -qx '#!/bin/sh' || fail "launcher does not start with #!/bin/sh"
sh -n "$launcher" || fail "launcher has a shell syntax error"
# Started through a symlink from elsewhere, it must still exec the program in
# the private folder (the process keeps its pid across exec).
mkdir -p "$work/elsewhere"
ln -s "$launcher" "$work/elsewhere/tarvex"
QT_QPA_PLATFORM=offscreen "$work/elsewhere/tarvex" >"$work/launcher.log" 2>&1 &
launched=$!
exe=
for _ in $(seq 100); do
    exe=$(readlink "/proc/$launched/exe" 2>/dev/null) || break
    [ "$exe" = "$root/usr/lib/tarvex/Tarvex" ] && break
    sleep 0.05
done
[ "$exe" = "$root/usr/lib/tarvex/Tarvex" ] \
    || fail "launcher ran '$exe', not the program in the private folder; log: $(cat "$work/launcher.log")"
kill "$launched" 2>/dev/null; wait "$launched" 2>/dev/null; launched=
ok "launcher, also through a symlink"

# ---- tarvexctl: launcher, no Qt, manual page -------------------------------
ctl=$root/usr/bin/tarvexctl
head -1 "$ctl" | grep -qx '#!/bin/sh' || fail "tarvexctl launcher does not start with #!/bin/sh"
sh -n "$ctl" || fail "tarvexctl launcher has a shell syntax error"
ln -s "$ctl" "$work/elsewhere/tarvexctl"
version=$("$work/elsewhere/tarvexctl" --version 2>&1) || fail "tarvexctl --version failed: $version"
[ "$version" = "tarvexctl $(field Version | sed 's/-[0-9]*$//')" ] || fail "tarvexctl --version says '$version'"
# The console program is linked against the core only, never Qt.
readelf -d "$root/usr/lib/tarvex/tarvexctl" | grep -q 'NEEDED.*libQt' && fail "tarvexctl links Qt"
for page in tarvexctl tarvex; do
    man=$root/usr/share/man/man1/$page.1.gz
    gzip -t "$man" || { fail "the manual page $page.1 is not a good gzip file"; continue; }
    # -n: no file name or time stamp in the gzip header (reproducible builds).
    [ "$(od -An -tu1 -j4 -N4 "$man" | tr -s ' ')" = " 0 0 0 0" ] || fail "the manual page $page.1's gzip header holds a time stamp"
    if command -v groff >/dev/null; then
        warnings=$(zcat "$man" | groff -man -Tutf8 -ww 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "groff warns about the manual page $page.1: $warnings"
    fi
    # Every variable that changes what the programs do is listed.
    zcat "$man" | grep -q '^\.SH ENVIRONMENT' || fail "the manual page $page.1 has no ENVIRONMENT section"
    for var in ZN480_DEV_DIR ZN480_MOUNTS_FILE ZN480_SYSFS_DIR PCSCLITE_CSOCK_NAME DISPLAY; do
        zcat "$man" | grep -q "$var" || fail "the manual page $page.1 does not mention $var"
    done
done
zcat "$root/usr/share/man/man1/tarvexctl.1.gz" | grep -q '^\.SH EXIT STATUS' || fail "the manual page has no EXIT STATUS section"
zcat "$root/usr/share/man/man1/tarvex.1.gz" | grep -q 'TARVEX_STATE_FILE' || fail "tarvex.1 does not mention TARVEX_STATE_FILE"
ok "tarvexctl launcher, linkage and manual pages"

# ---- desktop entry and icon ------------------------------------------------
desktop=$root/usr/share/applications/tarvex.desktop
if command -v desktop-file-validate >/dev/null; then
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
    [ -z "$out" ] || fail "desktop-file-validate has remarks: $out"
else
    echo "note: desktop-file-validate not installed (package desktop-file-utils); checked the keys only"
fi
entry() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(entry Type)" = Application ] || fail "desktop Type is not Application"
exec_cmd=$(entry Exec | awk '{print $1}')
[ -x "$root/usr/bin/$exec_cmd" ] || fail "desktop Exec '$exec_cmd' is not the launcher in /usr/bin"
icon=$(entry Icon)
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon for Icon=$icon"
[ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "no 48x48 icon for Icon=$icon"
[ "$(file -b "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" | cut -d, -f2 | tr -d ' ')" = 48x48 ] \
    || fail "48x48 icon has size $(file -b "$root/usr/share/icons/hicolor/48x48/apps/$icon.png")"
ok "desktop entry and icons"

# ---- licence -----------------------------------------------------------------
# A machine-readable copyright file that grants the project's licence.
copyright=$root/usr/share/doc/tarvex/copyright
head -1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    || fail "copyright is not in the machine-readable format"
grep -qx 'License: Expat' "$copyright" || fail "copyright names no Expat licence for the files"
# Its licence text is the LICENSE file's, line for line.
sed -n '/^Permission is hereby granted/,$p' "$src/LICENSE" | tr -s ' \n' ' ' >"$work/license.txt"
sed -n '/^ Permission is hereby granted/,$p' "$copyright" | sed 's/^ \.$//; s/^ //' | tr -s ' \n' ' ' >"$work/copyright.txt"
cmp -s "$work/license.txt" "$work/copyright.txt" || fail "copyright's licence text differs from LICENSE"
grep -qi 'all rights reserved' "$copyright" && fail "copyright still reserves all rights"
# The changelog's latest entry is this package's version.
zcat "$root/usr/share/doc/tarvex/changelog.Debian.gz" | head -1 | grep -q "^tarvex ($(field Version)) " \
    || fail "changelog.Debian's first entry is not version $(field Version)"
ok "copyright file, licence and changelog"

# ---- lintian: Debian's own package checks -----------------------------------
if command -v lintian >/dev/null; then
    # --fail-on error,warning: any error or warning fails (overrides, each
    # with its reason, live in the package's lintian overrides file).
    # Its standard error holds only its own notes (such as the one about
    # running as root); the findings are on standard output.
    if ! out=$(lintian --fail-on error,warning --display-level '>=warning' "$deb" 2>"$work/lintian.err"); then
        fail "lintian: $out $(cat "$work/lintian.err")"
    elif [ -n "$out" ]; then
        fail "lintian remarks: $out"
    fi
    # Every override says why: a comment line right above it.
    awk '/^[^#[:space:]]/ && prev !~ /^#/ { bad = 1; print "override without a reason: " $0 } { prev = $0 } END { exit bad }' \
        "$root/usr/share/lintian/overrides/tarvex" >&2 || fail "a lintian override has no comment saying why"
    ok "lintian: no errors or warnings"
else
    fail "lintian is not installed (package lintian)"
fi

# ---- udev rules and maintainer scripts -------------------------------------
cmp -s "$root/usr/lib/udev/rules.d/70-zn480.rules" "$src/packaging/70-zn480.rules" \
    || fail "packaged udev rules differ from packaging/70-zn480.rules"
for script in postinst postrm; do
    s=$work/control/$script
    [ -f "$s" ] || { fail "no $script"; continue; }
    [ "$(stat -c %a "$s")" = 755 ] || fail "$script has mode $(stat -c %a "$s")"
    sh -n "$s" || fail "$script has a shell syntax error"
    grep -q '^set -e' "$s" || fail "$script does not stop on errors"
done
ok "udev rules and maintainer scripts"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all package checks passed"
