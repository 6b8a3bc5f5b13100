#!/usr/bin/env bash
# Checks that a 32-bit SERCHAN.dll exports the nine functions by their plain,
# undecorated names (no _Name@N stdcall decoration).
set -euo pipefail
dll="${1:?usage: $0 SERCHAN.dll}"
want=(SCAddProtocol SCCallbacks SCChangeProtocol SCCloseChannel SCDelProtocol
      SCOpenChannel SCReceive SCSend SCTransmit)
exports=$(i686-w64-mingw32-objdump -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&/\]/{print $NF} f&&/^$/{if(n++)f=0}')
fail=0
for name in "${want[@]}"; do
  grep -qx "$name" <<<"$exports" || { echo "missing export: $name" >&2; fail=1; }
done
if grep -q '@' <<<"$exports"; then echo "decorated exports found:" >&2; grep '@' <<<"$exports" >&2; fail=1; fi
[ $fail -eq 0 ] && echo "SERCHAN.dll (i686): 9 undecorated exports"
exit $fail
