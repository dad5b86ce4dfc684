#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over our own sources of a build folder's compilation
# database, the native preset's by default. Quiet when the tree is clean; prints the findings and
# fails otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/native}"
[ -f "$build/compile_commands.json" ] || { echo "clang-tidy: no $build/compile_commands.json" >&2; exit 1; }
root="$PWD"
mapfile -t files < <(python3 - "$build/compile_commands.json" "$root" <<'PY'
import json, os, sys
root = os.path.realpath(sys.argv[2]) + os.sep
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    # Our sources only: not the third-party tree, not GoogleTest, not generated files.
    if path.startswith(root) and "/third_party/" not in path and "/build/" not in path and path not in seen:
        seen.add(path)
        print(path)
PY
)
[ ${#files[@]} -gt 0 ] || { echo "clang-tidy: no sources of ours in $build" >&2; exit 1; }
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
status=0
printf '%s\0' "${files[@]}" | xargs -0 -n1 -P2 clang-tidy -p "$build" --quiet >"$out" 2>/dev/null || status=$?
if [ $status -ne 0 ] || grep -qE '(warning|error):' "$out"; then
  cat "$out"
  echo "clang-tidy: findings in $build's sources" >&2
  exit 1
fi
echo "clang-tidy: ${#files[@]} files clean"
