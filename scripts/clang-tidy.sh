#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over our own sources of a build folder's compilation
# database, the native preset's by default. Quiet when the tree is clean; prints the findings and
# fails otherwise.
#
# A Windows build's database (win64: clang for mingw-w64 on g++'s C++ library, or the win64-gcc
# preset's g++) is read with clang for that target and g++'s own C++ library headers; there it covers
# the module's sources (addin, bridge, common, net, runtime, script), the code that ships, and leaves
# out the checks that COM and Win32 answer by design, named in windows_off below.
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
tidy=(clang-tidy -p "$build" --quiet)
compiler="$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[0]["command"].split()[0])' \
  "$build/compile_commands.json")"
# The target of clang's commands is their --target; g++'s is in its name.
target="$(python3 -c 'import json,re,sys; m = re.search(r"--target=(\S+)", json.load(open(sys.argv[1]))[0]["command"]); print(m.group(1) if m else "")' \
  "$build/compile_commands.json")"
if [[ "$(basename "$compiler")" == *-w64-mingw32-* ]]; then
  target="$(basename "$compiler" | sed 's/-g++.*//; s/-gcc.*//')"
fi
if [[ "$target" == *-w64-mingw32 ]]; then
  # Off on Windows, each for a reason of the platform's:
  #   implicit-bool-conversion    Win32 answers BOOL, an int, and tests it as such
  #   convert-member-functions-to-static  COM methods and the script object's operations are called
  #                               through their object (a vtable, a member pointer of the binding)
  #   virtual-class-destructor    COM objects are freed by their own Release, never through a base
  #   no-int-to-ptr               handles and light user data are integers the platform casts
  windows_off="-readability-implicit-bool-conversion,-readability-convert-member-functions-to-static"
  windows_off+=",-cppcoreguidelines-virtual-class-destructor,-performance-no-int-to-ptr"
  tidy+=(--extra-arg-before=--target="$target" --checks="$windows_off")
  # g++'s C++ library, not clang's: the one the module is built with, which clang's commands name
  # already. Its compiler's own headers (intrinsics) stay clang's, which reads gcc's ones only in part.
  if [[ "$(basename "$compiler")" == *-w64-mingw32-* ]]; then
    tidy+=(--extra-arg=-nostdinc++)
    while read -r dir; do
      tidy+=(--extra-arg=-isystem"$dir")
    done < <("$compiler" -std=c++20 -E -x c++ - -v </dev/null 2>&1 | sed -n 's/^ \(.*\/include\/c++.*\)$/\1/p')
  fi
  mapfile -t files < <(printf '%s\n' "${files[@]}" | grep -E "^$root/(addin|bridge|common|net|runtime|script)/")
fi
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
status=0
printf '%s\0' "${files[@]}" | xargs -0 -n1 -P2 "${tidy[@]}" >"$out" 2>/dev/null || status=$?
if [ $status -ne 0 ] || grep -qE '(warning|error):' "$out"; then
  cat "$out"
  echo "clang-tidy: findings in $build's sources" >&2
  exit 1
fi
echo "clang-tidy: ${#files[@]} files clean"
