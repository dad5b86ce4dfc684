#!/usr/bin/env bash
# Static checks of a built Orvane.dll, for the i686 artifact that cannot run on this machine: the
# export directory's name and ordinals, and that nothing but system DLLs and the host runtime (with
# only the entries the host promises) is imported.
set -euo pipefail
dll="$1"
def="${2:-$(dirname "$dll")/VemoLuaRuntime.def}"
objdump=i686-w64-mingw32-objdump
file "$dll" | grep -q "PE32 executable (DLL)" || objdump=x86_64-w64-mingw32-objdump
dump="$($objdump -p "$dll")"
fail=0
problem() { echo "check-artifact: $*" >&2; fail=1; }

grep -q "^Name .*Orvane\.DLL$" <<<"$dump" || problem "export directory does not name the module Orvane.DLL"

# Ordinal/name pairs: objdump lists [index] name with ordinal = index + base (1).
exports="$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^\t\[/{print} on && !/^\t\[/{on=0}' <<<"$dump" \
  | sed -E 's/^\s*\[\s*([0-9]+)\]\s+(\S+).*/\1 \2/')"
expected="0 DllCanUnloadNow
1 DllGetClassObject
2 DllRegisterServer
3 DllUnregisterServer
4 Test"
[ "$exports" = "$expected" ] || problem "exports are not ordinals 1-5 as expected:"$'\n'"$exports"
grep -q "Ordinal Base 1" <<<"$dump" || grep -q "Ordinal Base			1" <<<"$dump" || \
  awk '/Ordinal Base/{exit ($3==1)?0:1}' <<<"$dump" || problem "ordinal base is not 1"

system_dlls='^(KERNEL32|USER32|ADVAPI32|SHELL32|OLE32|OLEAUT32|WS2_32|WININET|MSVCRT|SHLWAPI|VERSION|RPCRT4|api-ms-win-[a-z0-9-]+)\.dll$'
while read -r name; do
  [ "$name" = "VemoLuaRuntime.dll" ] && continue
  grep -qiE "$system_dlls" <<<"$name" || problem "imports a non-system DLL: $name"
done < <(sed -n 's/^\tDLL Name: //p' <<<"$dump")

if [ -f "$def" ]; then
  allowed="$(sed -n '/^EXPORTS/,$p' "$def" | sed '1d; s/@.*//; s/[[:space:]]//g' | grep -v '^$' | sort)"
  used="$(awk '/DLL Name: VemoLuaRuntime.dll/{on=1; next} on && (/DLL Name:/ || /^\s*$/){on=0} on && NF>=3 && $1 ~ /^[0-9a-f]+$/ {print $3}' \
    <<<"$dump" | sort)"
  extra="$(comm -13 <(echo "$allowed") <(echo "$used"))"
  [ -z "$extra" ] || problem "imports host runtime entries the host does not promise: $extra"
fi

[ $fail -eq 0 ] && echo "check-artifact: $dll ok"
exit $fail
