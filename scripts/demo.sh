#!/usr/bin/env bash
# Sets up the machine, builds the add-in and the stand-in host for wine64, and runs the demo script.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build build/win64 -j2 --target Orvane orvane-host
scripts/wine-run build/win64/orvane-host.exe "Z:$PWD/examples/demo.lua" "$@"
