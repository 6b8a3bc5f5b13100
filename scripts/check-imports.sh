#!/usr/bin/env bash
# Checks a Windows deployment folder through the PE import tables: every DLL
# that any shipped .exe or .dll imports is either shipped beside it or a
# Windows system DLL (nothing missing), and every shipped DLL is imported by
# something or is loaded at run time on purpose (nothing extra).
#   scripts/check-imports.sh FOLDER
# Loaded at run time rather than imported: SERCHAN.dll (Tarvex opens it by
# full path) and Qt's plugins (platforms/, styles/).
set -euo pipefail
dir="${1:?usage: $0 FOLDER}"
objdump=x86_64-w64-mingw32-objdump

# DLLs every Windows 10/11 installation has in System32.
system_re='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comdlg32|comctl32|winmm|ws2_32|imm32|dwmapi|uxtheme|version|setupapi|shlwapi|wtsapi32|netapi32|userenv|opengl32|msvcrt|ntdll|mpr|winspool\.drv|cfgmgr32|hid|winscard|authz|bcrypt|crypt32|secur32|d3d9|d3d11|d3d12|dxgi|dwrite|d2d1|propsys|shcore|wbemuuid|api-ms-win-.*|ext-ms-win-.*)\.dll$'

declare -A shipped imported
runtime_loaded=()
while IFS= read -r -d '' f; do
  rel="${f#"$dir"/}"
  case "${rel,,}" in
    *.dll) shipped["$(basename "${rel,,}")"]="$rel" ;;
  esac
  case "${rel,,}" in
    serchan.dll|platforms/*|styles/*|imageformats/*) runtime_loaded+=("$(basename "${rel,,}")") ;;
  esac
done < <(find "$dir" -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0)

fail=0
while IFS= read -r -d '' f; do
  rel="${f#"$dir"/}"
  while read -r dll; do
    dll="${dll,,}"
    [ -n "$dll" ] || continue
    imported["$dll"]=1
    if [ -z "${shipped[$dll]:-}" ] && ! [[ "$dll" =~ $system_re ]]; then
      echo "missing: $rel imports $dll, which is neither shipped nor a Windows DLL" >&2
      fail=1
    fi
  done < <("$objdump" -p "$f" | awk '/DLL Name:/ {print $3}')
done < <(find "$dir" -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0)

for dll in "${!shipped[@]}"; do
  [ -n "${imported[$dll]:-}" ] && continue
  printf '%s\n' "${runtime_loaded[@]}" | grep -qx "$dll" && continue
  echo "extra: ${shipped[$dll]} is shipped but nothing imports it" >&2
  fail=1
done
[ $fail -eq 0 ] && echo "imports of $dir: nothing missing, nothing extra (${#shipped[@]} DLLs shipped)"
exit $fail
