#!/usr/bin/env bash
# The i686 stage: runs the shipped 32-bit build for real, in 32-bit Wine, the way the host application
# does: regsvr32 of Orvane.dll, the stand-in host creating the class through COM and calling
# Startup, and one script, tests/i686/stage.lua, that calls all seventeen methods, gets callbacks from
# the loopback service peers and has a second 32-bit process call the export Test; then regsvr32 /u.
# The static checks of the same artifact run in scripts/test.sh.
#
#   scripts/test-i686.sh                      installs what it needs, builds the win32 preset, runs
#   ORVANE_I686_RUN=emulated scripts/test-i686.sh   the same under qemu-i386-static even where the
#                                             kernel runs 32-bit code by itself
#
# 32-bit code runs natively where the kernel allows it. With ORVANE_I686_RUN=emulated it runs through
# qemu-i386-static registered with binfmt_misc instead (slow, and 32-bit Wine can crash under it; see
# README). The stage runs in a user, mount, network and PID
# namespace of its own where the kernel allows that: a registration then lives in a binfmt_misc
# instance of that namespace and nothing outside sees it (a machine-wide one would make every 64-bit
# Wine prefix boot its 32-bit half under emulation), the fixed service ports are its own, and every
# process it started ends with it. Without namespaces a registration is machine-wide and is removed on
# the way out, whatever happens.
# Exit status: 0 when the stage passed, or when 32-bit code cannot run here (one line says so);
# non-zero when the stage failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

readonly BINFMT=/proc/sys/fs/binfmt_misc
readonly ENTRY=orvane-i386
readonly QEMU=/usr/bin/qemu-i386-static
readonly WINE=/usr/lib/wine/wine
readonly WINESERVER=/usr/lib/wine/wineserver
# 32-bit ELF executables and shared objects for the i386 machine; the same magic and mask qemu's own
# binfmt configuration uses for the other architectures.
readonly I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
readonly I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# Exit status of the namespace run that could neither run 32-bit code nor register the emulator in
# its own binfmt_misc: the outer run then tries a machine-wide registration.
readonly NEEDS_GLOBAL=3

say() { echo "test-i686: $*"; }
runs_32bit() { "$WINE" --version >/dev/null 2>&1; }

# ---- outside: packages, build, and the choice of sandbox -----------------------------------------
if [ "${1:-}" != --inside ]; then
  started=$(date +%s)
  bash scripts/setup.sh
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    stale_lists=yes
  fi
  need=()
  for pkg in qemu-user-static wine32:i386; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
  done
  if [ ${#need[@]} -gt 0 ]; then
    say "installing ${need[*]} (about 210 MB, once)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -o DPkg::Lock::Timeout=600 "${need[@]}" >/dev/null
  elif [ "${stale_lists:-no}" = yes ]; then
    apt-get update -qq
  fi

  echo "== i686: build (win32 preset: add-in, stand-in host and runtime, second process)"
  cmake --preset win32 >/dev/null
  cmake --build build/win32 -j2 --target Orvane orvane-host VemoLuaRuntime addin_caller

  status=0
  if unshare --user --map-root-user --mount --net --pid --fork true 2>/dev/null; then
    unshare --user --map-root-user --mount --net --pid --fork --mount-proc --kill-child \
      bash scripts/test-i686.sh --inside namespace || status=$?
    if [ $status -eq $NEEDS_GLOBAL ]; then
      say "no binfmt_misc of its own in a namespace here: registering the emulator machine-wide"
      status=0
      bash scripts/test-i686.sh --inside global || status=$?
    fi
  else
    bash scripts/test-i686.sh --inside global || status=$?
  fi
  say "$([ $status -eq 0 ] && echo done || echo FAILED) in $(( $(date +%s) - started )) s, build and set-up included"
  exit $status
fi

# ---- inside: make 32-bit code run ----------------------------------------------------------------
scope="$2"
mode=native
registered=no
mounted=no
server=no
prefix="$root/build/win32/wineprefix-i686"

cleanup() {
  if [ $server = yes ]; then WINEPREFIX="$prefix" "$WINESERVER" -k 2>/dev/null || true; fi
  if [ $registered = yes ] && [ -e "$BINFMT/$ENTRY" ]; then echo -1 > "$BINFMT/$ENTRY" || true; fi
  if [ $mounted = yes ]; then umount "$BINFMT" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cannot_run() {
  echo "i686 stage skipped: $1"
  exit 0
}

# Emulation is asked for, never a fallback: under Debian 12's qemu-i386-static 32-bit Wine gets no
# trap number with a fault, so a fault Wine must handle itself can kill the process (the host died so
# once the network workers ran), and every process takes minutes to start.
emulate=no
if [ "${ORVANE_I686_RUN:-}" = emulated ]; then emulate=yes; fi

if [ "$scope" = namespace ]; then
  ip link set lo up
  # An instance of our own: empty, so the probe below sees only what the kernel itself can run.
  if mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null; then
    mounted=yes
  elif [ $emulate = yes ]; then
    exit $NEEDS_GLOBAL
  fi
fi
# A registration left by a run that was killed outright would make the probe lie.
if [ -e "$BINFMT/$ENTRY" ]; then echo -1 > "$BINFMT/$ENTRY"; fi

if [ $emulate = no ]; then
  runs_32bit || cannot_run "this kernel runs no 32-bit code (ORVANE_I686_RUN=emulated tries $QEMU)"
else
  mode=emulated
  [ -x "$QEMU" ] || cannot_run "$QEMU is missing"
  if [ ! -e "$BINFMT/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null || cannot_run "binfmt_misc cannot be mounted to register $QEMU"
    mounted=yes
  fi
  # F: the kernel opens the interpreter now, so it is found from any later mount namespace or chroot.
  registered=yes
  if ! { echo ":$ENTRY:M::$I386_MAGIC:$I386_MASK:$QEMU:F" > "$BINFMT/register"; } 2>/dev/null; then
    registered=no
    if [ "$scope" = namespace ]; then exit $NEEDS_GLOBAL; fi
    cannot_run "binfmt_misc refused to register $QEMU"
  fi
  runs_32bit || cannot_run "32-bit Wine does not start under the registered $QEMU"
fi
echo "== i686: stage ($mode 32-bit code, $scope scope)"

# ---- the stage -----------------------------------------------------------------------------------
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
export LUA_PATH="Z:$root/tests/lua/?.lua" LANG=C
unset DISPLAY
# Under emulation a crash would start the debugger, one more process that takes minutes; without it
# the crashed process just ends, and its exit status tells.
if [ $mode = emulated ]; then WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=d"; fi
out="$root/build/win32"
dll="Z:$out/Orvane.dll"
winpath() { echo "Z:${1//\//\\}"; }
clsid="0FF6A79F-39C8-44EE-86EF-FD57ECCEEDC5"
times=()
clock=$(date +%s)
lap() { local now; now=$(date +%s); times+=("$1 $((now - clock)) s"); clock=$now; }
fail() { say "FAILED: $*"; exit 1; }

# One server for the whole stage: every restart would start the prefix's system processes again,
# and under emulation each of them costs a minute.
if [ ! -f "$prefix/.orvane-ready" ]; then rm -rf "$prefix"; fi
mkdir -p "$prefix"
"$WINESERVER" -p
server=yes
# wineboot creates or updates the prefix and starts its system processes, which then live as long as
# the server; started by a later process they would inherit that process's output and hold it open.
if [ ! -f "$prefix/.orvane-ready" ]; then
  "$WINE" wineboot -i >/dev/null 2>&1 || fail "the 32-bit prefix could not be created"
  touch "$prefix/.orvane-ready"
  lap "prefix"
else
  "$WINE" wineboot >/dev/null 2>&1 || fail "the 32-bit prefix did not start"
  lap "prefix start"
fi

# The module registers itself as a 32-bit regsvr32, a caller of its stdcall entry points that is not
# ours, asks it to; the host then finds the class in the registry and creates it through COM.
"$WINE" regsvr32 /s "$(winpath "$out/Orvane.dll")" >/dev/null 2>&1 || fail "regsvr32 of Orvane.dll failed (exit $?)"
lap "regsvr32"

rm -rf "$prefix/drive_c/JOTTLE"
mkdir -p "$prefix/drive_c/JOTTLE"
log="$out/i686-stage.log"
ready="$out/stage-ready.txt"
done_file="$out/stage-done.txt"
rm -f "$ready" "$done_file"
# The host runs from a folder without Orvane.dll: it can only have come through COM.
host_dir="$out/i686-host"
rm -rf "$host_dir" && mkdir -p "$host_dir"
cp "$out/orvane-host.exe" "$out/VemoLuaRuntime.dll" "$host_dir/"
# The second process starts now and waits for the script's ready file: its start-up, minutes under
# emulation, overlaps the host's.
"$WINE" "$out/addin_caller.exe" "$dll" "Z:$ready" "Z:$done_file" 0xFFFFFFFF -57 > "$out/i686-caller.log" 2>&1 &
caller=$!
status=0
timeout 1200 python3 tests/peers/service_peers.py --tips --game -- \
  "$WINE" "$host_dir/orvane-host.exe" "Z:$root/tests/i686/stage.lua" - "Z:$ready" "Z:$done_file" \
  > "$log" 2>&1 || status=$?
cat "$log"
caller_status=0
if [ $status -ne 0 ] && [ ! -s "$done_file" ]; then kill $caller 2>/dev/null || true; fi
wait $caller || caller_status=$?
lap "host and script"
[ $status -eq 0 ] || fail "the stage script failed (exit $status); its output is in $log"
[ $caller_status -eq 0 ] || fail "the second process failed (exit $caller_status): $(cat "$out/i686-caller.log")"
if grep -q "CoCreateInstance of the registered add-in failed" "$log"; then
  fail "the class was registered but CoCreateInstance could not create it"
fi

"$WINE" regsvr32 /u /s "$(winpath "$out/Orvane.dll")" >/dev/null 2>&1 || fail "regsvr32 /u of Orvane.dll failed (exit $?)"
lap "regsvr32 /u"
# The registry reaches system.reg when the server shuts down.
"$WINESERVER" -k || true
server=no
"$WINESERVER" -w || true
if grep -qi "$clsid" "$prefix/system.reg"; then fail "the class is still registered after regsvr32 /u"; fi

say "stage passed ($mode): ${times[*]}"
