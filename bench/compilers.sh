#!/usr/bin/env bash
# The benchmarks of the clang build beside the GCC build of the same sources: orvane_bench of build/win32
# and build/win32-gcc (i686, in Wine's WoW64 mode), then of build/win64 and build/win64-gcc (x86_64
# under wine64), run in turn, the one that goes first changing from round to round. Each run is alone
# in a network namespace of its own, as the services' fixed ports want, with the wineserver of its
# prefix stopped after it. Each line orvane_bench prints is a ratio measured side by side in that run;
# this prints them under the build's name, for comparing ratios, never times, across builds.
#
#   bench/compilers.sh [--rounds N] [--machines "i686 x86_64"] [FIGURE...]    (default: call tips game)
#
# The four builds must be there (cmake --preset P && cmake --build build/P for win32, win32-gcc,
# win64, win64-gcc).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=3
machines="i686 x86_64"
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --machines) machines="$2"; shift 2 ;;
    *) break ;;
  esac
done
figures=("$@")
[ ${#figures[@]} -gt 0 ] || figures=(call tips game)

declare -A builds_of=([i686]="build/win32 build/win32-gcc" [x86_64]="build/win64 build/win64-gcc")
declare -A wine_of=([i686]=--wow64 [x86_64]=)
for machine in $machines; do
  for build in ${builds_of[$machine]}; do
    [ -x "$build/orvane_bench.exe" ] || { echo "compilers: no $build/orvane_bench.exe" >&2; exit 2; }
  done
done

for machine in $machines; do
  read -r -a builds <<<"${builds_of[$machine]}"
  for round in $(seq 1 "$rounds"); do
    order=("${builds[@]}")
    [ $((round % 2)) -eq 0 ] && order=("${builds[1]}" "${builds[0]}")
    for build in "${order[@]}"; do
      echo "== $machine round $round: $build"
      export ORVANE_WINEPREFIX="$PWD/$build/wineprefix-bench"
      unshare -n sh -c 'ip link set lo up && exec "$@"' sh \
        scripts/wine-run ${wine_of[$machine]} "$build/orvane_bench.exe" "${figures[@]}" 2>&1 | sed "s|^|$build: |"
      # A wineserver still up would serve the next run with sockets of this run's network namespace.
      scripts/wine-run ${wine_of[$machine]} --wineserver -w || true
    done
  done
done
