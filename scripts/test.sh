#!/usr/bin/env bash
# Sets up the machine, builds every preset and runs every test this machine can run: the native core
# and clang-tidy over it; the shipped i686 build (clang and lld) with its static, package, symbol and
# reproducibility checks, and its whole suite in Wine's WoW64 mode: here where the kernel runs 32-bit
# code, and elsewhere in a guest under full-system emulation (scripts/i686-guest.sh), which also runs
# the i686 stages; then the same suite on the x86_64 build under wine64, the second platform that
# catches pointer-size mistakes; last, both builds with GCC, the second compiler, which are built
# warning-free and not run: the suite runs on the compiler that ships.
# A part this machine cannot run is named at the end with its reason, and never counts as passed;
# the exit status is 0 when everything that ran passed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/machine-probes.sh
# Without a summary of the caller's (.ci/run's), this script prints its own.
if [ -z "${ORVANE_NOT_RUN_LOG:-}" ]; then
  mkdir -p build
  export ORVANE_NOT_RUN_LOG="$PWD/build/not-run-test.txt"
  : > "$ORVANE_NOT_RUN_LOG"
  own_summary=yes
fi
started=$(date +%s)
lap() { echo "test.sh: $1 in $(( $(date +%s) - started )) s"; started=$(date +%s); }
# A Windows build, whose every warning fails the run: -Werror holds our own code, and this the
# third-party code built beside it (Lua, GoogleTest) as well.
build_windows() {
  cmake --build "$1" -j2 2>&1 | tee "$1/build-output.log"
  if grep -q 'warning:' "$1/build-output.log"; then
    echo "test.sh: $1 built with warnings:" >&2
    grep 'warning:' "$1/build-output.log" >&2
    exit 1
  fi
}

echo "== native: platform-free core"
cmake --preset native >/dev/null
cmake --build build/native -j2
ctest --preset native
scripts/check-format.sh
scripts/clang-tidy.sh build/native
lap "native"

echo "== win32: the shipped artifact, its packages and symbols, and the suite in WoW64 mode"
cmake --preset win32 >/dev/null
build_windows build/win32
scripts/check-artifact.sh build/win32/Orvane.dll build/win32/VemoLuaRuntime.def
luacheck --no-color --quiet examples annotations tests host
cmake --workflow --preset package >/dev/null
scripts/check-package.sh build/win32
scripts/check-packaging.sh
scripts/check-reproducible.sh build/win32
bash bench/module_size.sh build/win32/shipped/Orvane.dll
if probe_wow64; then
  echo "test.sh: $probe_reason: the i686 suite runs"
  ctest --preset win32
  lap "win32"
else
  echo "test.sh: $probe_reason: the i686 suite and stages run in a guest (scripts/i686-guest.sh), beside" \
    "the x86_64 suite and the GCC builds; its output comes after them"
  lap "win32 build and checks"
  # The guest reads only build/win32, which nothing below writes. A session of its own, so that a
  # run that fails here ends the emulator with it (timeout puts it in a process group of its own).
  guest_log="build/i686-guest-run.log"
  setsid bash scripts/i686-guest.sh > "$guest_log" 2>&1 &
  guest=$!
  trap '[ -z "${guest:-}" ] || { pkill -s "$guest"; echo "test.sh: the guest was stopped: $guest_log" >&2; }' EXIT
fi

echo "== win64: the same suite on x86_64 under wine64"
cmake --preset win64 >/dev/null
build_windows build/win64
cmake --workflow --preset package-win64 >/dev/null
scripts/clang-tidy.sh build/win64
ctest --preset win64
lap "win64"

echo "== GCC, the second compiler: both Windows builds, warning-free; their suites are not run"
for preset in win32-gcc win64-gcc; do
  cmake --preset "$preset" >/dev/null
  build_windows "build/$preset"
done
lap "GCC builds"

if [ -n "${guest:-}" ]; then
  echo "== i686 in a guest: the whole suite and both stages where this kernel runs no 32-bit code"
  guest_status=0
  wait "$guest" || guest_status=$?
  guest=
  cat "$guest_log"
  lap "i686 guest, after the rest"
  [ "$guest_status" -eq 0 ] || exit "$guest_status"
fi

if [ -n "${own_summary:-}" ] && [ -s "$ORVANE_NOT_RUN_LOG" ]; then
  echo "== what this machine could not run"
  cat "$ORVANE_NOT_RUN_LOG"
fi
