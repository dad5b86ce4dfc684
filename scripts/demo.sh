#!/usr/bin/env bash
# Sets up the machine, builds the shipped i686 add-in and the stand-in host, registers the add-in as a
# 32-bit installer on 64-bit Windows would (Wine's WoW64 mode, no kernel support for 32-bit code
# needed), and runs the demo script in a host that creates it through COM, beside the loopback
# stand-ins of the tips and game-platform services, which the kit ships too.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build build/win32 -j2 --target Orvane orvane-host VemoLuaRuntime
# A prefix of its own: a registered class changes what every program of the prefix gets.
export ORVANE_WINEPREFIX="$PWD/build/win32/wineprefix-demo"
scripts/wine-run --wow64 'C:\windows\syswow64\regsvr32.exe' /s "Z:$(pwd | tr / '\\')\\build\\win32\\Orvane.dll"
# The stand-ins take the services' fixed ports on this machine's loopback while the demo runs, and
# answer as the services would.
python3 tests/peers/service_peers.py --tips --game --as-services -- \
  scripts/wine-run --wow64 build/win32/orvane-host.exe "Z:$PWD/examples/demo.lua" "$@"
