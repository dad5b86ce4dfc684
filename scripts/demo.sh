#!/usr/bin/env bash
# Sets up the machine, builds the add-in and the stand-in host for wine64, registers the add-in as an
# installer would, and runs the demo script in a host that creates it through COM.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build build/win64 -j2 --target Orvane orvane-host
# A prefix of its own: a registered class changes what every program of the prefix gets.
export ORVANE_WINEPREFIX="$PWD/build/win64/wineprefix-demo"
scripts/wine-run regsvr32 /s "Z:$(pwd | tr / '\\')\\build\\win64\\Orvane.dll"
scripts/wine-run build/win64/orvane-host.exe "Z:$PWD/examples/demo.lua" "$@"
