#!/usr/bin/env bash
# Builds the shipped module of a build folder (default build/win32) a second time from nothing: ninja
# removes the module and everything it is made of (objects, libraries, type library, resources), and
# the build makes them again. The second build must give the first's bytes for Orvane.dll and for its
# shipped copy, and so its header time stamp and its PDB GUID and age, which the link takes from hashes
# of the PDB and the module.
#
# Both builds use one folder. Builds in two folders give two GUIDs, and with them two time stamps: the
# PDB records the folders, in its objects' and sources' paths and in each object's compiler command
# line (include folders and all), which clang 14 writes into it and has no option to leave out.
# Usage: scripts/check-reproducible.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/win32}"
[ -f "$build/Orvane.pdb" ] || { echo "check-reproducible: no $build/Orvane.pdb (a clang build makes it)" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

identity() { llvm-pdbutil dump --summary "$1" | awk '/^ *(GUID|Age):/ { printf "%s %s ", $1, $2 }'; }
cmake --build "$build" -j2 --target orvane_shipped >/dev/null
cp "$build/Orvane.dll" "$work/Orvane.dll"
cp "$build/shipped/Orvane.dll" "$work/shipped.dll"
first="$(identity "$build/Orvane.pdb")"
ninja -C "$build" -t clean orvane_shipped >/dev/null
cmake --build "$build" -j2 --target orvane_shipped >/dev/null

failures=0
for pair in Orvane.dll:Orvane.dll shipped.dll:shipped/Orvane.dll; do
  if cmp -s "$work/${pair%%:*}" "$build/${pair#*:}"; then
    echo "ok    ${pair#*:}: the same bytes from both builds"
  else
    echo "FAIL  ${pair#*:}: the second build differs at $(cmp -l "$work/${pair%%:*}" "$build/${pair#*:}" | wc -l) bytes"
    failures=$((failures + 1))
  fi
done
second="$(identity "$build/Orvane.pdb")"
if [ "$first" = "$second" ]; then
  echo "ok    Orvane.pdb: ${first}in both builds"
else
  echo "FAIL  Orvane.pdb: ${first}from the first build, ${second}from the second"
  failures=$((failures + 1))
fi
# What links the module's libraries again, so that the folder is left built.
cmake --build "$build" -j2 >/dev/null
[ "$failures" -eq 0 ] && echo "check-reproducible: two builds of $build give the same module and PDB identity"
exit $(( failures > 0 ))
