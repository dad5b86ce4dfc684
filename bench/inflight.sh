#!/usr/bin/env bash
# Requests in flight at once: bench/inflight.lua in the stand-in host beside tests/peers/inflight_peers.py
# (a tips peer that never answers, a game-platform peer that closes each connection after 5 s without a
# byte), for 1,000 and 10,000 requests, on the i686 and the x86_64 build side by side, with any older
# DLL given beside the build of its own machine type.
#
#   bench/inflight.sh [LABEL=OTHER_ORVANE_DLL ...]
#
# The builds are build/win32 (i686, the shipped one, in Wine's WoW64 mode) and build/win64, each built
# first if need be. An older DLL, e.g. one built from a commit that ran a thread per request, is
# measured in the same run by the stand-in host of its own build.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

# The machine a PE module is built for: i686 or x86_64.
machine_of() {
  python3 - "$1" <<'EOF'
import struct, sys
with open(sys.argv[1], "rb") as f:
    data = f.read(4096)
pe = struct.unpack_from("<I", data, 0x3C)[0]
print({0x14C: "i686", 0x8664: "x86_64"}.get(struct.unpack_from("<H", data, pe + 4)[0], "unknown"))
EOF
}

declare -A build_of=([i686]=build/win32 [x86_64]=build/win64)
declare -A preset_of=([i686]=win32 [x86_64]=win64)
declare -A wine_of=([i686]=--wow64 [x86_64]=)
bash scripts/setup.sh >/dev/null
for machine in i686 x86_64; do
  build="${build_of[$machine]}"
  if [ ! -x "$build/orvane-host.exe" ] || [ ! -f "$build/Orvane.dll" ]; then
    cmake --preset "${preset_of[$machine]}" >/dev/null
    cmake --build "$build" -j2 --target Orvane orvane-host >/dev/null
  fi
done

for n in 1000 10000; do
  for machine in i686 x86_64; do
    build="$root/${build_of[$machine]}"
    entries=("$machine loop=$build/Orvane.dll")
    for other in "$@"; do
      [ "$(machine_of "${other#*=}")" = "$machine" ] && entries+=("$machine ${other%%=*}=${other#*=}")
    done
    export ORVANE_WINEPREFIX="$build/wineprefix-inflight"
    for entry in "${entries[@]}"; do
      label="${entry%%=*}" dll="${entry#*=}"
      python3 tests/peers/inflight_peers.py --hold-ms 5000 -- \
        scripts/wine-run ${wine_of[$machine]} "$build/orvane-host.exe" --addin "$dll" "Z:$root/bench/inflight.lua" "$n" "$label" 2>&1 |
        grep '^inflight' || echo "inflight $label: $n requests: the host did not finish"
      # A wineserver still up would serve the next run with sockets of this run's network namespace.
      scripts/wine-run ${wine_of[$machine]} --wineserver -w || true
    done
  done
done
