#!/usr/bin/env bash
# Requests in flight at once: bench/inflight.lua in the stand-in host beside tests/peers/inflight_peers.py
# (a tips peer that never answers, a game-platform peer that closes each connection after 5 s without a
# byte), for 1,000 and 10,000 requests, with this build's Orvane.dll and any other given, side by side.
#
#   bench/inflight.sh [BUILD_DIR] [LABEL=OTHER_ORVANE_DLL ...]
#
# BUILD_DIR defaults to build/win64 (built first if need be). An older DLL, e.g. one built from a
# commit that ran a thread per request, is measured in the same run for comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${1:-build/win64}"
shift || true
if [ ! -x "$build/orvane-host.exe" ]; then
  bash scripts/setup.sh >/dev/null
  cmake --preset win64 >/dev/null
  cmake --build build/win64 -j2 --target Orvane orvane-host >/dev/null
fi
build="$(cd "$build" && pwd)"
dlls=("this build=$build/Orvane.dll" "$@")
export ORVANE_WINEPREFIX="$build/wineprefix-inflight"
for n in 1000 10000; do
  for entry in "${dlls[@]}"; do
    label="${entry%%=*}" dll="${entry#*=}"
    python3 tests/peers/inflight_peers.py --hold-ms 5000 -- \
      scripts/wine-run "$build/orvane-host.exe" --addin "$dll" "Z:$root/bench/inflight.lua" "$n" "$label" 2>&1 |
      grep '^inflight' || echo "inflight $label: $n requests: the host did not finish"
  done
done
