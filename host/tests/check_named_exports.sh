#!/usr/bin/env bash
# Holds a runtime DLL to the entries the add-in is promised: its exports by name must be exactly the
# list of runtime/VemoLuaRuntime.def.in, nothing more and nothing less.
#   check_named_exports.sh OBJDUMP DLL DEF_IN
set -euo pipefail
objdump="$1" dll="$2" def="$3"
named="$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)"
promised="$(sed -n '/^EXPORTS/,$p' "$def" | sed '1d; /^[[:space:]]*;/d; s/@.*//; s/[[:space:]]//g' | grep -v '^$' | sort)"
if [ "$named" = "$promised" ]; then
  echo "named exports of $(basename "$dll"): the $(wc -l <<<"$promised") promised entries, no more"
else
  echo "named exports of $dll differ from $def:"
  diff <(echo "$promised") <(echo "$named") || true
  exit 1
fi
