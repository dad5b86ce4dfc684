#!/usr/bin/env bash
# Sets up the machine, builds every preset and runs every test: the native core and clang-tidy over
# it; the shipped i686 build, its static and package checks and the whole suite in Wine's WoW64 mode;
# then the same suite on the x86_64 build under wine64, the second platform that catches
# pointer-size mistakes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
started=$(date +%s)
lap() { echo "test.sh: $1 in $(( $(date +%s) - started )) s"; started=$(date +%s); }

echo "== native: platform-free core"
cmake --preset native >/dev/null
cmake --build build/native -j2
ctest --preset native
scripts/clang-tidy.sh build/native
lap "native"

echo "== win32: the shipped artifact, its packages, and the suite in WoW64 mode"
cmake --preset win32 >/dev/null
cmake --build build/win32 -j2
scripts/check-artifact.sh build/win32/Orvane.dll build/win32/VemoLuaRuntime.def
luacheck --no-color --quiet examples annotations tests host
cmake --workflow --preset package >/dev/null
scripts/check-package.sh build/win32
scripts/check-packaging.sh
bash bench/module_size.sh build/win32/shipped/Orvane.dll
ctest --preset win32
lap "win32"

echo "== win64: the same suite on x86_64 under wine64"
cmake --preset win64 >/dev/null
cmake --build build/win64 -j2
ctest --preset win64
lap "win64"
