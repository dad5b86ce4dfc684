#!/usr/bin/env bash
# The i686 stage: the shipped 32-bit build run the way a host application runs it. regsvr32 of
# Orvane.dll, the stand-in host creating the class through COM and calling Startup, one script
# (tests/i686/stage.lua) that calls all seventeen methods, gets callbacks from the loopback service
# peers and has a second 32-bit process call the export Test; then regsvr32 /u.
#
# It runs in two prefixes, as the add-in meets two kinds of Windows, each where this machine can run it
# (scripts/machine-probes.sh has one probe for each; their answers can differ):
#   wow64  a 64-bit prefix whose wine64 runs the 32-bit programs in WoW64 mode (third_party/wine-wow64),
#          as on 64-bit Windows: the 32-bit regsvr32 of syswow64 writes the class into the 32-bit view
#          of the registry, and the stage checks that the 64-bit view never sees it. WoW64 runs i686
#          code in the kernel's 32-bit code segment, so it needs a kernel that has one.
#   win32  a 32-bit prefix run by Debian's 32-bit Wine (wine32:i386, installed here), as on 32-bit
#          Windows, where the kernel itself starts i386 programs (and no emulator would).
#
#   scripts/test-i686.sh                             set-up, build, every stage this machine can run
#   ORVANE_ASSUME_NO_32BIT=1 scripts/test-i686.sh    both probes answer no: the build and the "not run"
#                                                    lines, as on a kernel without 32-bit code
#   scripts/test-i686.sh --built                     the stages alone, on programs built before: where
#                                                    nothing may be installed or built (the i686 guest)
#
# A stage that cannot run is named, with the probe's reason, and never counts as passed. The stages run
# in a mount, network and PID namespace of their own where the machine allows it, so the services'
# fixed ports are their own and every process they started ends with them. Output goes to
# build/win32/i686-stage-MODE.log and i686-caller-MODE.log; a WINEDEBUG given is passed on.
# Exit status 0 when every stage that ran passed.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="$root/build/win32"

say() { echo "test-i686: $*"; }

# ---- outside: packages, build, and the sandbox ---------------------------------------------------
if [ "${1:-}" != --inside ]; then
  started=$(date +%s)
  built=""
  if [ "${1:-}" = --built ]; then built=yes; else bash scripts/setup.sh; fi
  mkdir -p "$out"
  source scripts/machine-probes.sh
  modes=""
  if probe_wow64; then
    modes=wow64
    say "wow64 stage: $probe_reason"
  else
    not_run "i686 wow64 stage" "$probe_reason (scripts/machine-probes.sh)"
  fi
  if probe_i386; then
    say "win32 stage: $probe_reason"
    if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
      modes="$modes win32"
    elif [ -n "$built" ]; then
      not_run "i686 win32 stage" "wine32:i386 is not installed, and --built installs nothing"
    else
      say "installing wine32:i386 for a 32-bit prefix (about 210 MB, once)"
      source scripts/apt.sh
      apt_update
      if apt_install wine32:i386; then
        modes="$modes win32"
      else
        not_run "i686 win32 stage" "wine32:i386 could not be installed from Debian's package registry"
      fi
    fi
  else
    not_run "i686 win32 stage" "$probe_reason (scripts/machine-probes.sh)"
  fi

  if [ -z "$built" ]; then
    echo "== i686: build (win32 preset: add-in, stand-in host and runtime, second process)"
    cmake --preset win32 >/dev/null
    cmake --build build/win32 -j2 --target Orvane orvane-host VemoLuaRuntime addin_caller
  fi

  if [ -z "$modes" ]; then
    say "no stage can run on this machine; the stage's programs built"
    exit 0
  fi
  status=0
  if unshare --mount --net --pid --fork true 2>/dev/null; then
    unshare --mount --net --pid --fork --mount-proc --kill-child \
      bash scripts/test-i686.sh --inside "$modes" || status=$?
  else
    say "no namespaces here: the stages use this machine's loopback ports"
    bash scripts/test-i686.sh --inside "$modes" || status=$?
  fi
  say "$([ $status -eq 0 ] && echo done || echo FAILED) in $(( $(date +%s) - started )) s, build and set-up included"
  exit $status
fi

# ---- inside: one stage per mode ------------------------------------------------------------------
modes="$2"
ip link set lo up 2>/dev/null || true
clsid="0FF6A79F-39C8-44EE-86EF-FD57ECCEEDC5"
winpath() { echo "Z:${1//\//\\}"; }
server_up=""
cleanup() { if [ -n "$server_up" ]; then WINEPREFIX="$server_up" "$server" -k 2>/dev/null || true; fi; }
trap cleanup EXIT
trap 'exit 130' INT TERM

stage() {
  local mode="$1"
  case "$mode" in
    wow64)
      wine="$root/third_party/wine-wow64/lib/wine/wine64"
      server="$root/third_party/wine-wow64/lib/wine/wineserver"
      export WINEARCH=win64
      # The 32-bit one, as a 32-bit installer on 64-bit Windows runs it.
      regsvr32='C:\windows\syswow64\regsvr32.exe'
      ;;
    win32)
      wine=/usr/lib/wine/wine
      server=/usr/lib/wine/wineserver
      export WINEARCH=win32
      regsvr32=regsvr32
      ;;
  esac
  local prefix="${ORVANE_PREFIX_DISK:-}$out/wineprefix-stage-$mode"
  export WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
  export LUA_PATH="Z:$root/tests/lua/?.lua" LANG=C
  unset DISPLAY
  local times=() clock
  clock=$(date +%s)
  lap() { local now; now=$(date +%s); times+=("$1 $((now - clock)) s"); clock=$now; }
  fail() { say "$mode: FAILED: $*"; exit 1; }
  # The class in one view of the registry: 32 or 64 in a wow64 prefix; a 32-bit prefix has one view.
  registered() {
    local view=()
    if [ "$mode" = wow64 ]; then view=("/reg:$1"); fi
    "$wine" reg query "HKCR\\CLSID\\{$clsid}" "${view[@]}" >/dev/null 2>&1
  }
  echo "== i686: $mode stage"

  # A new prefix each run, as a new user's machine has, made by wineboot with one server for the whole
  # stage, so that its system processes live as long as the server rather than holding a later
  # process's output. It is removed once the stage has passed: a WoW64 prefix holds 1.2 GB of DLLs.
  rm -rf "$prefix" && mkdir -p "$prefix"
  "$server" -p
  server_up="$prefix"
  "$wine" wineboot -i >/dev/null 2>&1 || fail "the prefix could not be created"
  lap "prefix"

  "$wine" "$regsvr32" /s "$(winpath "$out/Orvane.dll")" >/dev/null 2>&1 || fail "regsvr32 of Orvane.dll failed"
  lap "regsvr32"
  if [ "$mode" = wow64 ]; then
    registered 32 || fail "regsvr32 left no class in the 32-bit view of the registry"
    if registered 64; then fail "the 32-bit class is in the 64-bit view of the registry"; fi
  else
    registered || fail "regsvr32 left no class in the registry"
  fi

  rm -rf "$prefix/drive_c/JOTTLE"
  mkdir -p "$prefix/drive_c/JOTTLE"
  local log="$out/i686-stage-$mode.log" caller_log="$out/i686-caller-$mode.log"
  local ready="$out/stage-ready-$mode.txt" done_file="$out/stage-done-$mode.txt"
  rm -f "$ready" "$done_file"
  # The host runs from a folder without Orvane.dll: it can only have come through COM.
  local host_dir="$out/i686-host-$mode"
  rm -rf "$host_dir" && mkdir -p "$host_dir"
  cp "$out/orvane-host.exe" "$out/VemoLuaRuntime.dll" "$host_dir/"
  # The second process starts now and waits for the script's ready file.
  "$wine" "$out/addin_caller.exe" "Z:$out/Orvane.dll" "Z:$ready" "Z:$done_file" 0xFFFFFFFF -57 > "$caller_log" 2>&1 &
  local caller=$! status=0 caller_status=0
  # The stage's limit, stretched like the suite's by ORVANE_TIME_SCALE (the i686 guest sets it).
  timeout $((300 * ${ORVANE_TIME_SCALE:-1})) python3 tests/peers/service_peers.py --tips --game -- \
    "$wine" "$host_dir/orvane-host.exe" "Z:$root/tests/i686/stage.lua" - "Z:$ready" "Z:$done_file" \
    > "$log" 2>&1 || status=$?
  cat "$log"
  if [ $status -ne 0 ] && [ ! -s "$done_file" ]; then kill $caller 2>/dev/null || true; fi
  wait $caller || caller_status=$?
  lap "host and script"
  [ $status -eq 0 ] || fail "the stage script failed (exit $status); its output is in $log"
  [ $caller_status -eq 0 ] || fail "the second process failed (exit $caller_status): $(cat "$caller_log")"
  if grep -q "CoCreateInstance of the registered add-in failed" "$log"; then
    fail "the class was registered but CoCreateInstance could not create it"
  fi

  "$wine" "$regsvr32" /u /s "$(winpath "$out/Orvane.dll")" >/dev/null 2>&1 || fail "regsvr32 /u of Orvane.dll failed"
  lap "regsvr32 /u"
  if [ "$mode" = wow64 ]; then
    if registered 32 || registered 64; then fail "the class is still registered after regsvr32 /u"; fi
  elif registered; then
    fail "the class is still registered after regsvr32 /u"
  fi
  "$server" -k || true
  "$server" -w || true
  server_up=""
  # What the server wrote out on its way down holds no trace of the class either.
  if grep -qi "$clsid" "$prefix/system.reg"; then fail "system.reg still names the class after regsvr32 /u"; fi
  rm -rf "$prefix"
  say "$mode stage passed: ${times[*]}"
}

for mode in $modes; do stage "$mode"; done
