#!/usr/bin/env bash
# Checks the shipped package of a build folder (default build/win32): the ZIP holds exactly the
# shipped files under one top folder, `cmake --install` lays out the same files with the same
# bytes, and the packaged (stripped) Orvane.dll still passes the artifact checks.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/win32}"
zip="$(ls "$build"/Orvane-*-win32.zip 2>/dev/null | head -n1)"
[ -n "$zip" ] || { echo "check-package: no Orvane-*-win32.zip in $build (cmake --workflow --preset package)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

expected="Orvane.dll
README.md
annotations/orvane.lua
docs/scripting.md"

python3 - "$zip" "$work/zip" <<'PY'
import sys, zipfile
zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
PY
top="$(ls "$work/zip")"
[ "$(echo "$top" | wc -l)" = 1 ] || { echo "check-package: the ZIP has more than one top folder: $top" >&2; exit 1; }
cmake --install "$build" --prefix "$work/install" >/dev/null

fail=0
for tree in "$work/zip/$top" "$work/install"; do
  files="$(cd "$tree" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
  if [ "$files" != "$expected" ]; then
    echo "check-package: ${tree#$work/} holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected" >&2
    fail=1
  fi
done
if ! diff -r "$work/zip/$top" "$work/install" >/dev/null; then
  echo "check-package: the ZIP and the installed files differ" >&2
  fail=1
fi
if ! report="$(scripts/check-artifact.sh "$work/zip/$top/Orvane.dll" "$build/VemoLuaRuntime.def" 2>&1)"; then
  echo "$report" >&2
  fail=1
fi
[ $fail -eq 0 ] && echo "check-package: $zip ok"
exit $fail
