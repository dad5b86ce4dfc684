#!/usr/bin/env bash
# The size of the shipped module as it is delivered (i686, Release, stripped) next to the 256 KiB it
# is held to. The build folder's own module keeps its symbols for the artifact checks; the shipped
# copy is stripped already, and any module given is stripped once more into a copy before measuring.
#   bench/module_size.sh [PATH_TO_I686_ORVANE_DLL]      (default build/win32/shipped/Orvane.dll)
set -euo pipefail
dll="${1:-build/win32/shipped/Orvane.dll}"
strip="${STRIP:-i686-w64-mingw32-strip}"
copy="$(mktemp --suffix=.dll)"
trap 'rm -f "$copy"' EXIT
"$strip" -o "$copy" "$dll"
bytes=$(stat -c %s "$copy")
limit=$((256 * 1024))
awk -v b="$bytes" -v l="$limit" -v f="$dll" 'BEGIN {
  printf "module size: %s stripped: %d bytes (%.1f KiB) vs 256 KiB: %.3fx\n", f, b, b / 1024, b / l
  printf "| size of the i686 Orvane.dll, Release, stripped | %.1f KiB | 256 KiB | %.3fx | <= 1x |\n", b / 1024, b / l
}'
