#!/usr/bin/env bash
# Checks the two packages of a build folder (default build/win32):
#   - the add-in package Orvane-*-win32.zip holds exactly Orvane.dll and its README under one top
#     folder, `cmake --install` lays out the same files with the same bytes, and the packaged
#     (stripped) Orvane.dll still passes the artifact checks;
#   - the script writer's kit Orvane-Kit-*-win32.zip holds exactly its files under one top folder;
#   - in both, every file that a shipped document names (in `backticks` or in a code block) is in the
#     package that ships the document, but for the few names below that are not files of ours;
#   - beside them, for a clang build, the symbols ZIP Orvane-*-symbols.zip holds the
#     shipped module and its PDB in a symbol store's layout, as scripts/check-symbols.sh checks it;
#     the packages above hold no PDB, as they hold exactly their files.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/win32}"
zip="$(ls "$build"/Orvane-[0-9]*-win32.zip 2>/dev/null | head -n1)"
kit="$(ls "$build"/Orvane-Kit-*-win32.zip 2>/dev/null | head -n1)"
[ -n "$zip" ] || { echo "check-package: no Orvane-*-win32.zip in $build (cmake --workflow --preset package)" >&2; exit 1; }
[ -n "$kit" ] || { echo "check-package: no Orvane-Kit-*-win32.zip in $build (cmake --workflow --preset package)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

expected_addin="Orvane.dll
README.md"
expected_kit="$( (printf '%s\n' .luacheckrc .luarc.json Orvane.dll README.md VemoLuaRuntime.dll annotations/host.lua \
  annotations/orvane.lua docs/scripting.md host/README.md http_peer.py orvane-host.exe orvane-mutex-holder.exe \
  orvane-recorder.exe orvane-tray-sim.exe service_peers.py; (cd examples && ls *.lua | sed 's|^|examples/|')) \
  | LC_ALL=C sort)"

python3 - "$zip" "$work/zip" "$kit" "$work/kit" <<'PY'
import sys, zipfile
zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
zipfile.ZipFile(sys.argv[3]).extractall(sys.argv[4])
PY
cmake --install "$build" --prefix "$work/install" >/dev/null

fail=0
one_top() {
  local top
  top="$(ls -A "$1")"
  [ "$(echo "$top" | wc -l)" = 1 ] || { echo "check-package: $2 has more than one top folder: $top" >&2; fail=1; }
  echo "$1/$top"
}
holds() {
  local files
  files="$(cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
  if [ "$files" != "$2" ]; then
    echo "check-package: $3 holds"$'\n'"$files"$'\n'"instead of"$'\n'"$2" >&2
    fail=1
  fi
}
addin_top="$(one_top "$work/zip" "$(basename "$zip")")"
kit_top="$(one_top "$work/kit" "$(basename "$kit")")"
holds "$addin_top" "$expected_addin" "$(basename "$zip")"
holds "$work/install" "$expected_addin" "the installed add-in"
holds "$kit_top" "$expected_kit" "$(basename "$kit")"
if ! diff -r "$addin_top" "$work/install" >/dev/null; then
  echo "check-package: the ZIP and the installed files differ" >&2
  fail=1
fi
for dll in "$addin_top/Orvane.dll" "$kit_top/Orvane.dll"; do
  if ! report="$(scripts/check-artifact.sh "$dll" "$build/VemoLuaRuntime.def" 2>&1)"; then
    echo "$report" >&2
    fail=1
  fi
done
cmp -s "$addin_top/Orvane.dll" "$kit_top/Orvane.dll" || { echo "check-package: the kit's Orvane.dll is not the add-in package's" >&2; fail=1; }

# Names in the documents that are not files of a package: the host's own runtime and programs of the
# system, named where the add-in package tells an integrator what the machine must have.
python3 - "$addin_top" "$kit_top" <<'PY' || fail=1
import os, re, sys

NOT_OURS = {"VemoLuaRuntime.dll", "regsvr32.exe", "cmd.exe", "python.exe", "py.exe", "Orvane.DLL"}
FILE = re.compile(r"^(?:\./)?[A-Za-z0-9_.-]+(?:/[A-Za-z0-9_.-]+)*(?:\.(?:lua|md|exe|dll|py|json)|/)$")

def names(text):
    found = set(re.findall(r"`([^`\n]+)`", re.sub(r"```.*?```", "", text, flags=re.S)))
    for block in re.findall(r"```.*?```", text, flags=re.S):
        found.update(re.split(r"[\s\"'=(),;|&<>]+", block))
    for token in found:
        token = token.strip().replace("\\", "/")
        if FILE.match(token):
            yield token[2:] if token.startswith("./") else token

status = 0
for top in sys.argv[1:]:
    for folder, _, files in os.walk(top):
        for doc in (f for f in files if f.endswith(".md")):
            path = os.path.join(folder, doc)
            text = open(path, encoding="utf-8").read()
            for name in sorted(set(names(text))):
                if name in NOT_OURS or os.path.exists(os.path.join(top, name)):
                    continue
                print(f"check-package: {os.path.relpath(path, top)} in {os.path.basename(top)} names "
                      f"{name}, which that package does not hold", file=sys.stderr)
                status = 1
sys.exit(status)
PY
# A clang build makes the symbols; GCC's writes no PDB.
if grep -q '^CMAKE_CXX_COMPILER:FILEPATH=.*clang++' "$build/CMakeCache.txt"; then
  if ! report="$(scripts/check-symbols.sh "$build" 2>&1)"; then
    echo "$report" >&2
    fail=1
  fi
fi
[ $fail -eq 0 ] && echo "check-package: $(basename "$zip") and $(basename "$kit") ok"
exit $fail
