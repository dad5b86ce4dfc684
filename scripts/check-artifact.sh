#!/usr/bin/env bash
# Static checks of a built Orvane.dll, from its PE headers alone:
#   - export directory named "Orvane.DLL", ordinals 1-5 with their names and nothing else;
#   - imports only from system DLLs and from VemoLuaRuntime.dll, and from the latter by name only
#     the entries runtime/VemoLuaRuntime.def.in promises;
#   - resources exactly REGISTRY 101 and 102, TYPELIB 1, the string block of id 100 and VERSION 1,
#     every one in language 2052;
#   - DllCharacteristics with ASLR (DYNAMIC_BASE) and DEP (NX_COMPAT), and on i686 NO_SEH; a header
#     checksum that is the file's: the link, strip and the signing tool each write it, so a wrong one
#     means the bytes were changed by something else after them;
#   - on i686, where the symbol table shows them (the image's own, or the public symbols of the PDB
#     beside it, IMAGE.pdb, once its GUID and age are the image's), the stdcall argument bytes of the
#     exported entries (which must be what the export table points at) and of the IHostedAddin
#     methods, and the callee-pop of every return instruction of the exported entries.
# Usage: scripts/check-artifact.sh PATH_TO_ORVANE_DLL [RUNTIME_DEF]
#   RUNTIME_DEF: the host runtime's entry list (default runtime/VemoLuaRuntime.def.in; the .def the
#   build configures from it will do as well). OBJDUMP and NM override the tools used.
set -euo pipefail

dll="${1:?usage: $0 PATH_TO_ORVANE_DLL}"
here="$(cd "$(dirname "$0")" && pwd)"
runtime_def="${2:-$here/../runtime/VemoLuaRuntime.def.in}"
objdump="${OBJDUMP:-x86_64-w64-mingw32-objdump}"
nm="${NM:-x86_64-w64-mingw32-nm}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# "NAME ADDRESS" of every function among the PDB's public symbols, the address in the image's
# preferred place as nm prints it; fails, saying why, where the PDB is not the image's (its GUID and
# age are not those of the image's CodeView record).
pdb_code_symbols() {
  python3 - "$1" <(llvm-pdbutil dump --summary --publics "$2") <(llvm-readobj --coff-debug-directory "$1") <<'PY'
import re, struct, sys
image = open(sys.argv[1], "rb").read()
pdb = open(sys.argv[2]).read()
record = open(sys.argv[3]).read()
pe = struct.unpack_from("<I", image, 0x3C)[0]
count, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
magic = struct.unpack_from("<H", image, pe + 24)[0]
base = struct.unpack_from("<I" if magic == 0x10B else "<Q", image, pe + 24 + (28 if magic == 0x10B else 24))[0]
table = pe + 24 + optional_size
starts = [base + struct.unpack_from("<I", image, table + 40 * i + 12)[0] for i in range(count)]
guid = re.search(r"GUID: \{([0-9A-F-]+)\}", pdb)
age = re.search(r"^\s*Age: (\d+)", pdb, re.M)
raw = re.search(r"PDBGUID: \(([0-9A-F ]+)\)\s*PDBAge: (\d+)", record)
if not (guid and age and raw):
    sys.exit(print("no PDB identity, or no CodeView record in the image") or 1)
data1, data2, data3, data4 = struct.unpack("<IHH8s", bytes.fromhex(raw.group(1)))
wanted = "%08X-%04X-%04X-%s-%s" % (data1, data2, data3, data4[:2].hex().upper(), data4[2:].hex().upper())
if guid.group(1) != wanted or age.group(1) != raw.group(2):
    sys.exit(print(f"{sys.argv[2]} is not this image's PDB: GUID {guid.group(1)} age {age.group(1)}, "
                   f"the image names {wanted} age {raw.group(2)}") or 1)
for name, section, offset in re.findall(r"S_PUB32 \[size = \d+\] `([^`]+)`\s*flags = function, addr = (\d+):(\d+)", pdb):
    print(name, "%08x" % (starts[int(section) - 1] + int(offset)))
PY
}

failures=0
pass() { printf 'ok    %s\n' "$*"; }
fail() { printf 'FAIL  %s\n' "$*"; failures=$((failures + 1)); }

[ -f "$dll" ] || { echo "no such file: $dll" >&2; exit 2; }
headers="$("$objdump" -p "$dll")"
format="$("$objdump" -f "$dll" | sed -n 's/.*file format \(.*\)$/\1/p')"
case "$format" in
  pei-i386 | pei-x86-64) pass "PE image ($format)" ;;
  *) fail "not a Windows PE image: $format"; exit 1 ;;
esac

# --- exports -------------------------------------------------------------------------------------
exports="$(awk '
  /^The Export Tables/ { on = 1 }
  on && /^Name[ \t]/ { print "NAME", $NF }
  on && /^Ordinal Base/ { print "BASE", $3 }
  on && /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
  names && /^\t\[ *[0-9]+\] / { sub(/^\t\[ */, ""); sub(/\]/, ""); print "ENTRY", $1, $2; next }
  names && !/^\t\[/ { exit }
' <<<"$headers")"
module_name="$(awk '$1 == "NAME" { print $2 }' <<<"$exports")"
base="$(awk '$1 == "BASE" { print $2 }' <<<"$exports")"
[ "$module_name" = "Orvane.DLL" ] && pass "export directory names the module Orvane.DLL" \
  || fail "export directory names the module '$module_name', not Orvane.DLL"
actual_exports="$(awk -v base="${base:-0}" '$1 == "ENTRY" { print $2 + base, $3 }' <<<"$exports" | sort -n)"
expected_exports="$(printf '%s\n' '1 DllCanUnloadNow' '2 DllGetClassObject' '3 DllRegisterServer' \
  '4 DllUnregisterServer' '5 Test')"
if [ "$actual_exports" = "$expected_exports" ]; then
  pass "exports by ordinal: $(tr '\n' ' ' <<<"$actual_exports")"
else
  fail "exports by ordinal differ; expected: $(tr '\n' ' ' <<<"$expected_exports") got: $(tr '\n' ' ' <<<"$actual_exports")"
fi

# --- imports -------------------------------------------------------------------------------------
system_dlls=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll shell32.dll user32.dll ws2_32.dll wininet.dll "
imports="$(awk '
  /^The Import Tables/ { on = 1 }
  on && /^The .* Tables/ && !/^The Import Tables/ { exit }
  on && /DLL Name:/ { dll = $3; print "DLL", dll; next }
  on && dll != "" && /^\t[0-9a-f]+\t/ { print "IMPORT", dll, ($3 == "" ? "<ordinal>" : $3) }
' <<<"$headers")"
allowed_runtime="$(sed -n '/^EXPORTS/,$p' "$runtime_def" | sed '1d; /^[[:space:]]*;/d; s/@.*//; s/[[:space:]]//g' | grep -v '^$' | sort -u)"
[ -n "$allowed_runtime" ] || fail "no entries read from $runtime_def"
while read -r kind name; do
  [ "$kind" = DLL ] || continue
  lower="$(tr 'A-Z' 'a-z' <<<"$name")"
  if [ "$lower" = vemoluaruntime.dll ]; then
    pass "imports from the host runtime $name"
  elif [[ "$system_dlls" == *" $lower "* ]]; then
    pass "imports from the system DLL $name"
  else
    fail "imports from $name, which is not among the system DLLs the add-in links nor the host runtime"
  fi
done <<<"$imports"
runtime_imports="$(awk '$1 == "IMPORT" && tolower($2) == "vemoluaruntime.dll" { print $3 }' <<<"$imports" | sort -u)"
if [ -z "$runtime_imports" ]; then
  fail "nothing imported from VemoLuaRuntime.dll"
else
  unexpected="$(comm -23 <(echo "$runtime_imports") <(echo "$allowed_runtime"))"
  [ -z "$unexpected" ] && pass "host runtime entries used are all in $(basename "$runtime_def")" \
    || fail "host runtime entries not in $(basename "$runtime_def"): $(tr '\n' ' ' <<<"$unexpected")"
fi

# --- resources -----------------------------------------------------------------------------------
# objdump prints the resource tree indented by level: type, then id, then language.
resources="$(awk '
  function hex(text,    i, n) {
    sub(/^0x/, "", text); n = 0
    for (i = 1; i <= length(text); i++) n = n * 16 + index("0123456789abcdef", tolower(substr(text, i, 1))) - 1
    return n
  }
  /^The .rsrc Resource Directory section/ { on = 1; next }
  on && /Entry:/ {
    match($0, /Entry:/); level = (RSTART - 5) / 2
    if ($0 ~ /Entry: name:/) { v = $0; sub(/.*\]: /, "", v); sub(/, Value:.*/, "", v) }
    else { v = $0; sub(/.*Entry: ID: /, "", v); sub(/,.*/, "", v); v = hex(v) }
    if (level == 1) type = v
    else if (level == 2) id = v
    else if (level == 3) print type, id, v
  }
  on && /^ *Resources start at/ { exit }
' <<<"$headers" | sort)"
expected_resources="$(printf '%s\n' 'REGISTRY 101 2052' 'REGISTRY 102 2052' 'TYPELIB 1 2052' '6 7 2052' '16 1 2052' | sort)"
if [ "$resources" = "$expected_resources" ]; then
  pass "resources (type id language): $(tr '\n' ';' <<<"$resources")"
else
  fail "resources differ; expected: $(tr '\n' ';' <<<"$expected_resources") got: $(tr '\n' ';' <<<"$resources")"
fi

# --- hardening and checksum ----------------------------------------------------------------------
characteristics="$(awk '/^DllCharacteristics/ { print $2 }' <<<"$headers")"
wanted=$((0x40 | 0x100))
[ "$format" = pei-i386 ] && wanted=$((wanted | 0x400))
if [ -n "$characteristics" ] && [ $((16#$characteristics & wanted)) -eq "$wanted" ]; then
  pass "DllCharacteristics 0x$characteristics: ASLR, DEP$([ "$format" = pei-i386 ] && echo ", NO_SEH")"
else
  fail "DllCharacteristics 0x${characteristics:-?} lacks some of 0x$(printf '%x' "$wanted") (ASLR 0x40, DEP 0x100$([ "$format" = pei-i386 ] && echo ", NO_SEH 0x400"))"
fi
# The checksum of the PE format: the file summed as 16-bit words with the carry folded back in, the
# header field itself counted as zero, plus the file's length.
checksums="$(python3 - "$dll" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
length = len(data)
field = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64
stored = struct.unpack_from("<I", data, field)[0]
data[field:field + 4] = bytes(4)
if length % 2:
    data.append(0)
total = 0
for (word,) in struct.iter_unpack("<H", data):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
print("%08x %08x" % (stored, total + length))
PY
)"
read -r stored computed <<<"$checksums"
[ "$stored" = "$computed" ] && pass "PE checksum 0x$stored is the file's" \
  || fail "PE checksum 0x$stored, but the file sums to 0x$computed"

# --- stdcall argument sizes (i686) ---------------------------------------------------------------
if [ "$format" = pei-i386 ]; then
  # name and address of every code symbol
  symbols="$("$nm" "$dll" 2>/dev/null | awk 'toupper($2) == "T" { print $3, $1 }')"
  # A module linked with its PDB (clang and lld) has no symbol table of its own: the PDB's public
  # symbols are the same names, once the PDB is known to be this module's.
  pdb="${dll%.*}.pdb"
  if [ -z "$symbols" ] && [ -f "$pdb" ]; then
    if ! pdb_code_symbols "$dll" "$pdb" > "$work/symbols"; then
      fail "$(cat "$work/symbols")"
    else
      symbols="$(cat "$work/symbols")"
      echo "note  code symbols from $(basename "$pdb"), whose GUID and age are this image's"
    fi
  fi
  if [ -z "$symbols" ]; then
    echo "note  no symbol table: stdcall argument sizes are not visible in this image"
  else
    image_base="$(awk '/^ImageBase/ { print $2 }' <<<"$headers")"
    export_rvas="$(awk '
      /^Export Address Table -- Ordinal Base/ { on = 1; next }
      on && /^\t\[ *[0-9]+\] \+base\[ *[0-9]+\] / { gsub(/[\[\]+]/, " "); print $3, $4; next }
      on && !/^\t/ { exit }
    ' <<<"$headers")"
    for entry in DllCanUnloadNow:1:0 DllGetClassObject:2:12 DllRegisterServer:3:0 DllUnregisterServer:4:0 Test:5:0; do
      IFS=: read -r name ordinal bytes <<<"$entry"
      decorated="_${name}@${bytes}"
      address="$(awk -v s="$decorated" '$1 == s { print $2; exit }' <<<"$symbols")"
      others="$(awk -v n="_${name}@" 'index($1, n) == 1 && $1 !~ /\.cold$/ { print $1 }' <<<"$symbols" | grep -vx "$decorated" || true)"
      rva="$(awk -v o="$ordinal" '$1 == o { print $2 }' <<<"$export_rvas")"
      if [ -z "$address" ]; then
        fail "$name: no symbol $decorated${others:+ (found: $others)}"
        continue
      fi
      if [ -z "$rva" ] || [ $((16#$address)) -ne $((16#$image_base + 16#$rva)) ]; then
        fail "$name: export ordinal $ordinal does not point at $decorated"
        continue
      fi
      # Compared as text, which for addresses of one width is their order: awk would take one that
      # reads as a number in exponent form (100013e5) for that number.
      next_address="$(awk '{ print $2 }' <<<"$symbols" | sort -u | awk -v a="$address" '($1 "") > (a "") && !found { print; found = 1 }')"
      rets="$("$objdump" -d --no-show-raw-insn --start-address=0x"$address" ${next_address:+--stop-address=0x"$next_address"} "$dll" \
        | awk '$2 ~ /^ret/ { print ($3 == "" ? "0" : $3) }' | sort -u)"
      want="$([ "$bytes" = 0 ] && echo 0 || printf '$0x%x' "$bytes")"
      if [ -n "$rets" ] && [ "$rets" = "$want" ]; then
        pass "$name: stdcall, $bytes argument bytes, every return pops them"
      else
        fail "$name: returns pop $(tr '\n' ' ' <<<"${rets:-nothing}")instead of $bytes bytes"
      fi
    done
    for method in Startup:7StartupEPv:8 Reserved1:9Reserved1EPv:8 Reserved2:9Reserved2Ev:4 Reserved3:9Reserved3EPvS1_:12; do
      IFS=: read -r name mangled bytes <<<"$method"
      found="$(awk -v m="$mangled@" 'index($1, m) && $1 !~ /^__ZThn/ { sub(/.*@/, "", $1); print $1 }' <<<"$symbols" | sort -u)"
      if [ "$found" = "$bytes" ]; then
        pass "IHostedAddin::$name: stdcall, $bytes bytes with the interface pointer"
      else
        fail "IHostedAddin::$name: expected one stdcall implementation popping $bytes bytes, found: ${found:-none}"
      fi
    done
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed for $dll"
  exit 1
fi
echo "all checks passed for $dll"
