#!/usr/bin/env bash
# Sets up the machine, builds the add-in and the stand-in host, registers the add-in as an installer
# would, and runs the demo script in a host that creates it through COM, beside the loopback stand-ins
# of the tips and game-platform services, which the kit ships too.
#
# The shipped build is i686: where this machine runs 32-bit code it runs in Wine's WoW64 mode and is
# registered by the 32-bit regsvr32, as a 32-bit installer on 64-bit Windows does. Where it runs none
# (scripts/machine-probes.sh says so), the demo runs the x86_64 build of the same sources under wine64,
# and says so first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/machine-probes.sh
if probe_wow64; then
  build=build/win32 preset=win32 wine=(scripts/wine-run --wow64) regsvr32='C:\windows\syswow64\regsvr32.exe'
else
  echo "demo: ${probe_reason}; running the x86_64 build of the same sources"
  build=build/win64 preset=win64 wine=(scripts/wine-run) regsvr32='C:\windows\system32\regsvr32.exe'
fi
cmake --preset "$preset" >/dev/null
cmake --build "$build" -j2 --target Orvane orvane-host VemoLuaRuntime
# A prefix of its own: a registered class changes what every program of the prefix gets.
export ORVANE_WINEPREFIX="$PWD/$build/wineprefix-demo"
"${wine[@]}" "$regsvr32" /s "Z:$(pwd | tr / '\\')\\$(tr / '\\' <<<"$build")\\Orvane.dll"
# The stand-ins take the services' fixed ports on this machine's loopback while the demo runs, and
# answer as the services would.
python3 tests/peers/service_peers.py --tips --game --as-services -- \
  "${wine[@]}" "$build/orvane-host.exe" "Z:$PWD/examples/demo.lua" "$@"
