#!/usr/bin/env bash
# Runs the storm of script operations (tests/lua/storm.lua) over many seeds, one stand-in host per
# seed, beside the loopback service peers and an HTTP peer, under the stand-in runtime's debug
# allocator. Builds the win64 preset first if needed.
#
#   scripts/storm.sh [--seeds FIRST[-LAST]] [--ops N]      (default: seeds 1-10, 2000 operations each)
#
# Prints one line per seed and, at the end, the seeds that failed with the command that replays each.
# A seed fails when the storm's checks fail or when the host dies without its closing line. Exit
# status 0 when every seed passed.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
seeds=1-10
ops=2000
while [ $# -gt 0 ]; do
  case "$1" in
    --seeds) seeds="$2"; shift 2 ;;
    --ops) ops="$2"; shift 2 ;;
    *) echo "usage: scripts/storm.sh [--seeds FIRST[-LAST]] [--ops N]" >&2; exit 2 ;;
  esac
done
first="${seeds%-*}" last="${seeds#*-}"

bash scripts/setup.sh >/dev/null
cmake --preset win64 >/dev/null
cmake --build build/win64 -j2 --target Orvane orvane-host poke_window addin_caller >/dev/null

build="$root/build/win64"
work="$build/tests/work/storm-run"
mkdir -p "$work"
export LUA_PATH="Z:$root/tests/lua/?.lua"
export ORVANE_WINEPREFIX="$build/wineprefix-storm"

failed=()
started=$(date +%s)
for seed in $(seq "$first" "$last"); do
  output="$work/seed-$seed.log"
  python3 tests/peers/service_peers.py --tips --game -- \
    python3 tests/peers/http_peer.py --log "$work/http.log" -- \
    scripts/wine-run "$build/orvane-host.exe" --addin "$build/Orvane.dll" --debug-alloc \
      "Z:$root/tests/lua/storm.lua" "seed=$seed" "ops=$ops" "port={port}" "log=Z:$work/http.log" \
      "work=Z:$work" "poke=Z:$build/poke_window.exe" "caller=Z:$build/addin_caller.exe" \
    >"$output" 2>&1 || true
  if grep -q "^1 passed, 0 failed" "$output"; then
    echo "seed $seed: passed ($(grep -o '[0-9]* requests answered.*' "$output"))"
  else
    echo "seed $seed: FAILED ($(grep -m1 -E '^FAIL|Unhandled|PANIC' "$output" || echo 'no closing line'))"
    failed+=("$seed")
  fi
done
count=$(( last - first + 1 ))
echo "storm: $count seeds of $ops operations ($(( count * ops )) in all) in $(( $(date +%s) - started )) s;" \
  "${#failed[@]} failed"
for seed in "${failed[@]}"; do
  echo "  replay: scripts/storm.sh --seeds $seed --ops $ops    (log: $work/seed-$seed.log)"
done
[ ${#failed[@]} -eq 0 ]
