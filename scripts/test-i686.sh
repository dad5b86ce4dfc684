#!/usr/bin/env bash
# The i686 stage: the shipped 32-bit build run the way a host application runs it. regsvr32 of
# Orvane.dll, the stand-in host creating the class through COM and calling Startup, one script
# (tests/i686/stage.lua) that calls all seventeen methods, gets callbacks from the loopback service
# peers and has a second 32-bit process call the export Test; then regsvr32 /u.
#
# It runs in two prefixes, as the add-in meets two kinds of Windows:
#   wow64  a 64-bit prefix whose wine64 runs the 32-bit programs in WoW64 mode (third_party/wine-wow64),
#          as on 64-bit Windows: the 32-bit regsvr32 of syswow64 writes the class into the 32-bit view
#          of the registry, and the stage checks that the 64-bit view never sees it. Needs no kernel
#          support for 32-bit code, so it runs on every machine.
#   win32  a 32-bit prefix run by Debian's 32-bit Wine (wine32:i386, installed here), as on 32-bit
#          Windows. Only where the kernel runs 32-bit code; the script says which it found.
#
#   scripts/test-i686.sh                          set-up, build, both stages (the second where it can)
#   ORVANE_PRETEND_NO_32BIT=1 scripts/test-i686.sh  as on a kernel without 32-bit code: the 32-bit Wine
#                                                 loaders are covered by files of random bytes inside
#                                                 the stage's mount namespace, and only wow64 runs
#
# The stages run in a mount, network and PID namespace of their own where the machine allows it, so
# the services' fixed ports are their own and every process they started ends with them. Output goes
# to build/win32/i686-stage-MODE.log and i686-caller-MODE.log; a WINEDEBUG given is passed on.
# Exit status 0 when every stage that ran passed.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="$root/build/win32"

say() { echo "test-i686: $*"; }

# Whether this kernel runs 32-bit code at all: an i386 program of 93 bytes that only exits 0.
kernel_runs_32bit() {
  local probe="$out/i386-exit0"
  python3 - "$probe" <<'EOF'
import struct, sys
base, code = 0x08048000, bytes.fromhex("b801000000" "31db" "cd80")  # exit(0) through int 0x80
size = 52 + 32 + len(code)
elf = b"\x7fELF\x01\x01\x01" + bytes(9)
elf += struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
elf += struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
with open(sys.argv[1], "wb") as f:
    f.write(elf + code)
EOF
  chmod +x "$probe"
  "$probe" 2>/dev/null
}

# ---- outside: packages, build, and the sandbox ---------------------------------------------------
if [ "${1:-}" != --inside ]; then
  started=$(date +%s)
  bash scripts/setup.sh
  mkdir -p "$out"
  modes=wow64
  if [ -n "${ORVANE_PRETEND_NO_32BIT:-}" ]; then
    say "pretending this kernel runs no 32-bit code: the wow64 stage only"
  elif kernel_runs_32bit; then
    modes="wow64 win32"
    if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
      say "this kernel runs 32-bit code: installing wine32:i386 for a 32-bit prefix (about 210 MB, once)"
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 wine32:i386 >/dev/null
    fi
  else
    say "this kernel runs no 32-bit code: the wow64 stage only"
  fi

  echo "== i686: build (win32 preset: add-in, stand-in host and runtime, second process)"
  cmake --preset win32 >/dev/null
  cmake --build build/win32 -j2 --target Orvane orvane-host VemoLuaRuntime addin_caller

  status=0
  if unshare --mount --net --pid --fork true 2>/dev/null; then
    unshare --mount --net --pid --fork --mount-proc --kill-child \
      bash scripts/test-i686.sh --inside "$modes" || status=$?
  else
    # Covering the loaders outside a mount namespace of our own would cover them for the machine.
    if [ -n "${ORVANE_PRETEND_NO_32BIT:-}" ]; then say "ORVANE_PRETEND_NO_32BIT needs mount namespaces"; exit 2; fi
    say "no namespaces here: the stages use this machine's loopback ports"
    bash scripts/test-i686.sh --inside "$modes" || status=$?
  fi
  say "$([ $status -eq 0 ] && echo done || echo FAILED) in $(( $(date +%s) - started )) s, build and set-up included"
  exit $status
fi

# ---- inside: one stage per mode ------------------------------------------------------------------
modes="$2"
ip link set lo up 2>/dev/null || true
if [ -n "${ORVANE_PRETEND_NO_32BIT:-}" ]; then
  # glibc then fails to start them, as on a kernel that runs no 32-bit code.
  noise="$out/not-a-program"
  head -c 4096 /dev/urandom > "$noise"
  chmod +x "$noise"
  for loader in /usr/lib/wine/wine /usr/lib/wine/wine-preloader /usr/lib/wine/wineserver32; do
    if [ -e "$loader" ]; then mount --bind "$noise" "$loader"; fi
  done
fi

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
  local prefix="$out/wineprefix-stage-$mode"
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
  timeout 300 python3 tests/peers/service_peers.py --tips --game -- \
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
