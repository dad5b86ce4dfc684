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
# It ends with a table: for each ratio of each figure, its median over the rounds and its range, by
# build.
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

out="$(mktemp)"
trap 'rm -f "$out"' EXIT
for machine in $machines; do
  read -r -a builds <<<"${builds_of[$machine]}"
  for round in $(seq 1 "$rounds"); do
    order=("${builds[@]}")
    [ $((round % 2)) -eq 0 ] && order=("${builds[1]}" "${builds[0]}")
    for build in "${order[@]}"; do
      echo "== $machine round $round: $build"
      export ORVANE_WINEPREFIX="$PWD/$build/wineprefix-bench"
      unshare -n sh -c 'ip link set lo up && exec "$@"' sh \
        scripts/wine-run ${wine_of[$machine]} "$build/orvane_bench.exe" "${figures[@]}" 2>&1 | sed "s|^|$build: |" |
        tee -a "$out"
      # A wineserver still up would serve the next run with sockets of this run's network namespace.
      scripts/wine-run ${wine_of[$machine]} --wineserver -w || true
    done
  done
done

python3 - "$out" <<'PY'
import re, statistics, sys
from collections import defaultdict
ratios = defaultdict(lambda: defaultdict(list))
for line in open(sys.argv[1]):
    found = re.match(r"(build/\S+): (\w+: .*?)\s*(?:\(median[^)]*\))?: ([^:]*\d\.\d+x[^:]*)$", line.strip())
    if not found:
        continue
    build, what, told = found.groups()
    # The figure without its measured times: what was set beside what.
    what = re.sub(r"\s*\([^)]*\)|\s\d+(\.\d+)? ?(ns|us|ms|MiB/s)", "", what)
    for ratio, of in re.findall(r"(\d+\.\d+)x( [^,]*)?", told):
        ratios[(what, of.strip())][build].append(float(ratio))
builds = sorted({b for r in ratios.values() for b in r})
print("\n| figure | ratio | " + " | ".join(f"{b}: median (range), runs" for b in builds) + " |")
print("|---|---|" + "---|" * len(builds))
for (what, of), by in ratios.items():
    cells = []
    for b in builds:
        v = by.get(b, [])
        cells.append(f"{statistics.median(v):.3f}x ({min(v):.3f}-{max(v):.3f}), {len(v)}" if v else "-")
    print(f"| {what} | {of or 'the ratio'} | " + " | ".join(cells) + " |")
PY
