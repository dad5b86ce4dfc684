#!/usr/bin/env bash
# Runs the storm of script operations (tests/lua/storm.lua) over many seeds, one stand-in host per
# seed, beside the loopback service peers and an HTTP peer, under the stand-in runtime's debug
# allocator. Builds the preset first if needed: win32, the shipped i686 build in Wine's WoW64 mode, by
# default, or win64.
#
#   scripts/storm.sh [--seeds FIRST[-LAST]] [--ops N] [--jobs J] [--preset win32|win64]
#                                       (default: seeds 1-10, 2000 operations each, one at a time)
#
# Prints one line per seed and, at the end, the seeds that failed with the command that replays each.
# A seed fails when the storm's checks fail or when the host dies without its closing line. Exit
# status 0 when every seed passed. A storm mostly waits (for peers, limits, second processes), so
# --jobs runs J seeds at a time, each job in a network namespace and Wine prefix of its own, since the
# services' ports are fixed; that needs root, as unshare does.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
seeds=1-10
ops=2000
jobs=1
preset=win32
while [ $# -gt 0 ]; do
  case "$1" in
    --seeds) seeds="$2"; shift 2 ;;
    --ops) ops="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --preset) preset="$2"; shift 2 ;;
    --job) job="$2"; shift 2 ;;  # one job's part, run by the script itself inside its namespace
    *) echo "usage: scripts/storm.sh [--seeds FIRST[-LAST]] [--ops N] [--jobs J] [--preset win32|win64]" >&2; exit 2 ;;
  esac
done
first="${seeds%-*}" last="${seeds#*-}"
case "$preset" in
  win32) wine=(--wow64) ;;
  win64) wine=() ;;
  *) echo "storm: --preset is win32 or win64" >&2; exit 2 ;;
esac

if [ -z "${job:-}" ]; then
  bash scripts/setup.sh >/dev/null
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j2 --target Orvane orvane-host poke_window addin_caller >/dev/null
fi

build="$root/build/$preset"
run_seed() {  # seed, work folder: one host beside its peers; prints the seed's line
  local seed="$1" work="$2" output="$2/seed-$1.log"
  python3 tests/peers/service_peers.py --tips --game -- \
    python3 tests/peers/http_peer.py --log "$work/http.log" -- \
    scripts/wine-run "${wine[@]}" "$build/orvane-host.exe" --addin "$build/Orvane.dll" --debug-alloc \
      "Z:$root/tests/lua/storm.lua" "seed=$seed" "ops=$ops" "port={port}" "log=Z:$work/http.log" \
      "work=Z:$work" "poke=Z:$build/poke_window.exe" "caller=Z:$build/addin_caller.exe" \
    >"$output" 2>&1 || true
  if grep -q "^1 passed, 0 failed" "$output"; then
    echo "seed $seed: passed ($(grep -o '[0-9]* requests answered.*' "$output"))"
  else
    echo "seed $seed: FAILED ($(grep -m1 -E '^FAIL|Unhandled|PANIC' "$output" || echo 'no closing line'))"
  fi
}
export LUA_PATH="Z:$root/tests/lua/?.lua"

if [ -n "${job:-}" ]; then
  # One job: every jobs-th seed from its own, in the namespace its caller made.
  ip link set lo up
  work="$build/tests/work/storm-run-$job"
  mkdir -p "$work"
  export ORVANE_WINEPREFIX="$build/wineprefix-storm-$job"
  for seed in $(seq "$first" "$last"); do
    [ $(( (seed - first) % jobs )) -eq "$job" ] && run_seed "$seed" "$work"
  done
  exit 0
fi

started=$(date +%s)
results="$(mktemp)"
trap 'rm -f "$results"' EXIT
if [ "$jobs" -le 1 ]; then
  work="$build/tests/work/storm-run"
  mkdir -p "$work"
  export ORVANE_WINEPREFIX="$build/wineprefix-storm"
  for seed in $(seq "$first" "$last"); do run_seed "$seed" "$work" | tee -a "$results"; done
else
  for j in $(seq 0 $(( jobs - 1 ))); do
    unshare --net --fork bash "$0" --seeds "$seeds" --ops "$ops" --jobs "$jobs" --preset "$preset" --job "$j" | tee -a "$results" &
  done
  wait
fi
failed=($(sed -n 's/^seed \([0-9]*\): FAILED.*/\1/p' "$results" | sort -n))
count=$(( last - first + 1 ))
echo "storm: $count seeds of $ops operations ($(( count * ops )) in all) in $(( $(date +%s) - started )) s;" \
  "${#failed[@]} failed"
for seed in "${failed[@]}"; do
  echo "  replay: scripts/storm.sh --seeds $seed --ops $ops --preset $preset"
done
[ ${#failed[@]} -eq 0 ]
