#!/usr/bin/env bash
# KelmKSPv5.dll exports exactly the entry points that the export list names and the provider's
# objects define, and imports nothing but Windows' own DLLs (the C++ runtime is linked in).
#   check_dll_exports.sh OBJDUMP NM DLL EXPORT_MAP OBJECT_LIST
set -euo pipefail
objdump=$1 nm=$2 dll=$3 map=$4 objects=$5

listed=$(sed -n '/global:/,/local:/p' "$map" | grep -oE '[A-Za-z_][A-Za-z0-9_]*' | grep -vE '^(global|local)$' | sort)
defined=$(xargs "$nm" -g --defined-only <"$objects" | awk 'NF == 3 && $2 ~ /^[TtDdRrBb]$/ {print $3}' | sort -u)
expected=$(comm -12 <(echo "$listed") <(echo "$defined"))
exported=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -nE 's/^\s*\[ *[0-9]+\] ([A-Za-z_][A-Za-z0-9_]*)$/\1/p' | sort)

status=0
if [ "$exported" != "$expected" ]; then
  echo "exports differ from the entry points the code defines:"
  diff <(echo "$expected") <(echo "$exported") | sed 's/^</  not exported:/; s/^>/  not an entry point:/' | grep '^ '
  status=1
fi
for name in CPAcquireContext CPReleaseContext CPGetProvParam CPSetProvParam DoCheckDialog; do
  grep -qx "$name" <<<"$exported" || { echo "missing entry point: $name"; status=1; }
done

allowed='^(kernel32|advapi32|user32|winscard|crypt32|ncrypt|bcrypt|msvcrt)\.dll$'
while read -r imported; do
  grep -qiE "$allowed" <<<"$imported" || { echo "imports $imported, which Windows does not provide"; status=1; }
done < <("$objdump" -p "$dll" | awk '/DLL Name:/ {print $3}')

[ $status -eq 0 ] && echo "exports: $(echo $exported)"
exit $status
