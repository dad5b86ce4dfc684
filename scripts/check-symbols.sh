#!/usr/bin/env bash
# Checks the PDB of a clang build's Orvane.dll and its symbols ZIP (default build/win32), with LLVM's
# own readers of PE images and PDBs (llvm-readobj, llvm-pdbutil, llvm-symbolizer):
#   - the symbols ZIP Orvane-*-symbols.zip holds, under one top folder, exactly
#     Orvane.pdb/<GUID><age>/Orvane.pdb, the build's PDB, and Orvane.dll/<TimeDateStamp><SizeOfImage>/
#     Orvane.dll, the shipped module, named by the keys these two readers find in them;
#   - the PDB is the module's: the GUID and age of the CodeView record of the build's module and of
#     the shipped one are the PDB's, and the record names it Orvane.pdb, without a folder; no folder of
#     this machine's (the sources', the build's) is anywhere in the shipped module;
#   - its public symbols hold every export: at the address each export points at, a function of the
#     export's name (on i686 with its stdcall decoration);
#   - it has line information for every product source file (addin/ script/ bridge/ net/ runtime/
#     common/) whose object the module holds, as compile_commands.json names the objects;
#   - llvm-symbolizer, run where a debugger would find the PDB in the unpacked store, turns the address
#     the export DllGetClassObject points at into that function, addin/module.cpp and the line of
#     its definition.
# Usage: scripts/check-symbols.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$PWD"
build="${1:-build/win32}"
build_dir="$(cd "$build" && pwd)"
module="$build/Orvane.dll"
pdb="$build/Orvane.pdb"
shipped="$build/shipped/Orvane.dll"
zip="$(ls "$build"/Orvane-*-symbols.zip 2>/dev/null | head -n1)"
for file in "$module" "$pdb" "$shipped" "$build/compile_commands.json"; do
  [ -f "$file" ] || { echo "check-symbols: no $file (a clang build of the win32 or win64 preset makes it)" >&2; exit 2; }
done
[ -n "$zip" ] || { echo "check-symbols: no Orvane-*-symbols.zip in $build" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failures=0
pass() { printf 'ok    %s\n' "$*"; }
fail() { printf 'FAIL  %s\n' "$*"; failures=$((failures + 1)); }

# --- identities --------------------------------------------------------------------------------------
# The GUID as llvm-pdbutil writes it ({8-4-4-4-12}) without its dashes, then the age in hex.
pdb_key() {
  llvm-pdbutil dump --summary "$1" | awk '
    /^ *GUID: / { g = $2; gsub(/[{}-]/, "", g) }
    /^ *Age: / { a = $2 }
    END { if (g != "" && a != "") printf "%s%x\n", g, a }'
}
# The same key from a module's CodeView record, whose GUID llvm-readobj prints as its 16 bytes.
record_key() {
  llvm-readobj --coff-debug-directory "$1" | python3 -c '
import re, struct, sys
text = sys.stdin.read()
found = re.search(r"PDBGUID: \(([0-9A-F ]+)\)\s*PDBAge: (\d+)", text)
if found:
    d1, d2, d3, d4 = struct.unpack("<IHH8s", bytes.fromhex(found.group(1)))
    print("%08X%04X%04X%s%x" % (d1, d2, d3, d4.hex().upper(), int(found.group(2))))'
}
record_name() { llvm-readobj --coff-debug-directory "$1" | sed -n 's/^ *PDBFileName: //p'; }
# TimeDateStamp as 8 uppercase hex digits, then SizeOfImage in hex.
module_key() {
  local stamp size
  read -r stamp size < <(llvm-readobj --file-headers "$1" | awk '
    /^  TimeDateStamp: / { t = $NF; gsub(/[()]/, "", t) }
    /^  SizeOfImage: / { s = $2 }
    END { print t, s }')
  printf '%08X%x\n' "$stamp" "$size"
}

pdb_id="$(pdb_key "$pdb")"
[ -n "$pdb_id" ] || { fail "llvm-pdbutil reads no GUID and age in $pdb"; exit 1; }
for image in "$module" "$shipped"; do
  image_id="$(record_key "$image")"
  if [ "$image_id" = "$pdb_id" ]; then
    pass "$image: its CodeView record names the PDB's GUID and age ($pdb_id)"
  else
    fail "$image: its CodeView record names ${image_id:-no GUID and age}, the PDB is $pdb_id"
  fi
  name="$(record_name "$image")"
  [ "$name" = Orvane.pdb ] && pass "$image: the record names the PDB Orvane.pdb, without a folder" \
    || fail "$image: the record names the PDB '$name', not Orvane.pdb"
done
leaks="$(grep -c -a -F -e "$source_dir" -e "$build_dir" "$shipped" || true)"
[ "$leaks" = 0 ] && pass "no folder of this machine's is in the shipped module" \
  || fail "the shipped module holds $source_dir or $build_dir ($leaks places)"

# --- the symbols ZIP -----------------------------------------------------------------------------------
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$work/store"
top="$(ls -A "$work/store")"
store="$work/store/$top"
files="$(cd "$work/store" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
expected="$(printf '%s\n' "$top/Orvane.dll/$(module_key "$shipped")/Orvane.dll" "$top/Orvane.pdb/$pdb_id/Orvane.pdb" | LC_ALL=C sort)"
if [ "$files" = "$expected" ]; then
  pass "$(basename "$zip") holds $(tr '\n' ' ' <<<"$files")"
else
  fail "$(basename "$zip") holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected"
fi
store_pdb="$store/Orvane.pdb/$pdb_id/Orvane.pdb"
store_dll="$store/Orvane.dll/$(module_key "$shipped")/Orvane.dll"
cmp -s "$store_pdb" "$pdb" && pass "the store's PDB is the build's" || fail "the store's PDB is not $pdb"
cmp -s "$store_dll" "$shipped" && pass "the store's module is the shipped one" || fail "the store's module is not $shipped"

# --- exports, line information -------------------------------------------------------------------
i686=no
[ "$(llvm-readobj --file-headers "$module" | awk '/^  Machine:/ { print $2 }')" = IMAGE_FILE_MACHINE_I386 ] && i686=yes
python3 - "$source_dir" "$build_dir" "$i686" \
  <(llvm-readobj --coff-exports "$module") \
  <(llvm-pdbutil dump --section-headers --publics "$pdb") \
  <(llvm-pdbutil dump --modules "$pdb") \
  <(llvm-pdbutil dump -l "$pdb") <<'PY' || failures=$((failures + 1))
import json, os, re, sys
source_dir, build_dir, i686 = sys.argv[1], sys.argv[2], sys.argv[3] == "yes"
exports_text, publics_text, modules_text, lines_text = (open(p, errors="replace").read() for p in sys.argv[4:8])
status = 0

def report(ok, text):
    global status
    print(("ok    " if ok else "FAIL  ") + text)
    status |= 0 if ok else 1

# Section starts as the PDB's own copy of the section headers gives them.
starts = [int(a, 16) for a in re.findall(r"^\s*[0-9A-F]+ virtual size\n\s*([0-9A-F]+) virtual address", publics_text, re.M)]
functions = {}
for name, section, offset in re.findall(r"S_PUB32 \[size = \d+\] `([^`]+)`\s*flags = function[^,]*, addr = (\d+):(\d+)", publics_text):
    functions.setdefault(starts[int(section) - 1] + int(offset), []).append(name)
exports = re.findall(r"Export \{\s*Ordinal: (\d+)\s*Name: (\S+)\s*RVA: 0x([0-9A-F]+)", exports_text)
report(bool(exports), f"{len(exports)} exports read from the module")
for ordinal, name, rva in exports:
    pattern = re.compile((r"_%s@\d+" if i686 else r"%s") % re.escape(name) + r"$")
    held = [n for n in functions.get(int(rva, 16), []) if pattern.match(n)]
    report(bool(held), f"export {ordinal} {name} at RVA 0x{rva}: public function "
           f"{held[0] if held else 'missing (' + ', '.join(functions.get(int(rva, 16), [])) + ')'}")

# The product's objects as the build compiled them, and which of them the link took: an archive member
# is a module of the PDB by its name with the archive's path beside it, an object of the module's own
# by its path.
product = ("addin/", "script/", "bridge/", "net/", "runtime/", "common/")
modules = {(name, obj): index for index, name, obj in re.findall(r"Mod (\d+) \| `([^`]+)`: \nObj: `([^`]+)`", modules_text)}
lines = {}
for index, block in re.findall(r"^Mod (\d+) \| `[^`]*`: ?\n(.*?)(?=^Mod \d+ \||\Z)", lines_text, re.M | re.S):
    lines[index] = {os.path.relpath(path, source_dir)
                    for path in re.findall(r"^(/\S+) \([^)]*\)\n\s+[0-9A-F]{4}:[0-9A-F]{8}-", block, re.M)}
held, absent, headers_only = [], [], []
for command in json.load(open(os.path.join(build_dir, "compile_commands.json"))):
    source = os.path.relpath(command["file"], source_dir)
    output = re.search(r" -o (\S+)", command["command"])
    found = output and re.match(r"CMakeFiles/(orvane_core|orvane_addin|Orvane)\.dir/(.*)$", output.group(1))
    if not found or not source.startswith(product) or not source.endswith(".cpp"):
        continue
    target, object_name = found.groups()
    obj = os.path.join(build_dir, output.group(1))
    index = modules.get((obj, obj), modules.get((os.path.basename(object_name), os.path.join(build_dir, f"lib{target}.a"))))
    if index is None:
        absent.append(source)
        continue
    held.append((source, lines.get(index, set())))
    # All of a file's code can come from the headers it instantiates (a table of templates, say): its
    # lines are then those headers'.
    if lines.get(index) and source not in lines[index]:
        headers_only.append(source)
without = sorted(source for source, files in held if not files)
report(bool(held) and not without, f"line information for all {len(held)} product source files in the module"
       + (f"; none for: {' '.join(without)}" if without else ""))
if headers_only:
    print(f"note  whose code is all from headers, with lines there: {' '.join(sorted(headers_only))}")
if absent:
    print(f"note  product sources the link left out of the module (nothing of them is in it): {' '.join(sorted(absent))}")
sys.exit(status)
PY

# --- a known function, symbolized from the store -------------------------------------------------------
rva="$(llvm-readobj --coff-exports "$module" | awk '/Name: DllGetClassObject$/ { getline; print $2 }')"
definition="$(grep -n '^extern "C" HRESULT WINAPI DllGetClassObject(' addin/module.cpp | cut -d: -f1)"
# The record names the PDB alone, which llvm-symbolizer opens in the folder it runs in.
answer="$(cd "$(dirname "$store_pdb")" && llvm-symbolizer --obj="$store_dll" --relative-address "$rva" | head -n2 | tr '\n' ' ')"
if [[ "$answer" =~ ^DllGetClassObject\ (.*/)?addin/module\.cpp:${definition}:[0-9]+\ $ ]]; then
  pass "llvm-symbolizer: DllGetClassObject's address $rva is $(awk '{ print $2 }' <<<"$answer")"
else
  fail "llvm-symbolizer: DllGetClassObject's address ${rva:-?} is '$answer', not DllGetClassObject at addin/module.cpp:${definition:-?}"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed for $build"
  exit 1
fi
echo "all symbol checks passed for $build"
