#!/usr/bin/env bash
# Every C and C++ file git knows is laid out as .clang-format says; prints the differences and fails
# otherwise. `clang-format -i FILE` mends one.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
clang-format --dry-run -Werror "${files[@]}"
echo "clang-format: ${#files[@]} files as .clang-format says"
