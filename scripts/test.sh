#!/usr/bin/env bash
# Sets up the machine, builds every preset and runs every test: the native core and clang-tidy over
# it, the win64 suite under wine64, and the static checks of the shipped i686 artifact and package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== native: platform-free core"
cmake --preset native >/dev/null
cmake --build build/native -j2
ctest --preset native
scripts/clang-tidy.sh build/native

echo "== win32: the shipped artifact (static checks)"
cmake --preset win32 >/dev/null
cmake --build build/win32 -j2
scripts/check-artifact.sh build/win32/Orvane.dll build/win32/VemoLuaRuntime.def
cmake --workflow --preset package >/dev/null
scripts/check-package.sh build/win32
bash bench/module_size.sh build/win32/shipped/Orvane.dll

echo "== win64: behaviour under wine64"
cmake --preset win64 >/dev/null
cmake --build build/win64 -j2
ctest --preset win64
