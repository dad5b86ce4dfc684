#!/usr/bin/env bash
# What this machine can run of the i686 build, one probe per path, since the two can differ:
#   wow64  Wine's WoW64 mode (third_party/wine-wow64) runs i686 programs inside a 64-bit process by a far
#          transfer into the 32-bit user code segment. compat32.c makes that transfer, runs two 32-bit
#          instructions and comes back; where the kernel has no such segment it dies of SIGSEGV.
#   i386   a 32-bit Wine (wine32:i386) needs a kernel that starts i386 ELF programs: a 93-byte one that
#          only exits. A binfmt_misc entry that takes such programs (qemu-user's) makes that probe say
#          yes on a kernel that cannot, so a machine with one counts as having no native 32-bit support.
#
#   scripts/machine-probes.sh                    prints both answers and their reasons
#   source scripts/machine-probes.sh; probe_wow64 && ...; echo "$probe_reason"
#
# ORVANE_ASSUME_NO_32BIT=1 makes both probes answer no, whatever the machine: it tests what the scripts
# do on such a machine (the x86_64 demo, the "not run" lines), not the kernel. A probe that answers no
# leaves the reason in probe_reason. not_run PART REASON writes the line a script prints for a part it
# skipped, and appends it to ORVANE_NOT_RUN_LOG when that is set, for the summary at the end of CI.

orvane_probe_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
orvane_probe_dir="$orvane_probe_root/build/probes"
probe_reason=""

not_run() {
  local line="$1: not run: $2"
  echo "$line"
  if [ -n "${ORVANE_NOT_RUN_LOG:-}" ]; then echo "$line" >> "$ORVANE_NOT_RUN_LOG"; fi
}

# How a probe ended, in words: its exit status, or the signal that ended it.
probe_outcome() {
  local status="$1"
  if [ "$status" -gt 128 ]; then
    echo "killed by signal $(kill -l $((status - 128)) 2>/dev/null || echo $((status - 128)))"
  else
    echo "exit $status"
  fi
}

# Runs a probe in a subshell of its own, so that neither its death nor the shell's word on it reaches the
# terminal; what the shell said of a program it could not start is left in probe_error.
run_probe() {
  local said status=0
  said="$({ (exec "$1"); } 2>&1)" || status=$?
  probe_error="$(sed -n '1s/.*: //p' <<<"$said")"
  return "$status"
}

# The 32-bit code segment probe, built where it is older than its source. A machine that runs the probe
# without a compiler (the i686 guest) is given it built.
build_wow64_probe() {
  mkdir -p "$orvane_probe_dir"
  local probe="$orvane_probe_dir/compat32" source="$orvane_probe_root/scripts/probes/compat32.c"
  [ "$source" -nt "$probe" ] || return 0
  cc -O1 -no-pie -fno-pie -o "$probe" "$source" 2>"$probe.log"
}

probe_wow64() {
  if [ -n "${ORVANE_ASSUME_NO_32BIT:-}" ]; then
    probe_reason="ORVANE_ASSUME_NO_32BIT is set"
    return 1
  fi
  local probe="$orvane_probe_dir/compat32"
  if ! build_wow64_probe; then
    probe_reason="the 32-bit code segment probe does not build: $(head -c 300 "$probe.log")"
    return 1
  fi
  local status=0
  run_probe "$probe" || status=$?
  if [ "$status" -eq 0 ]; then
    probe_reason="a 64-bit process ran 32-bit code in selector 0x23"
    return 0
  fi
  probe_reason="this kernel runs no 32-bit x86 code: a far transfer into the 32-bit code segment ended the probe ($(probe_outcome "$status"))"
  return 1
}

# Whether an enabled binfmt_misc entry would take an i386 ELF program: its magic, under its mask, at
# its offset, matches the probe's first bytes. The folder is mounted in a namespace of our own when the
# machine has not mounted it, so nothing changes for the machine.
binfmt_takes_i386() {
  local probe="$1" dir=/proc/sys/fs/binfmt_misc
  local check=(python3 - "$probe" "${ORVANE_BINFMT_DIR:-$dir}")
  if [ -z "${ORVANE_BINFMT_DIR:-}" ] && [ ! -e "$dir/status" ]; then
    unshare --mount bash -c 'mount -t binfmt_misc none "$1" 2>/dev/null; shift; exec "$@"' _ "$dir" "${check[@]}" \
      < <(binfmt_matcher)
  else
    "${check[@]}" < <(binfmt_matcher)
  fi
}

binfmt_matcher() {
  cat <<'EOF'
import os, sys
probe, folder = sys.argv[1], sys.argv[2]
head = open(probe, "rb").read()
try:
    names = sorted(os.listdir(folder))
except OSError:
    sys.exit(1)
for name in names:
    if name in ("register", "status"):
        continue
    try:
        lines = open(os.path.join(folder, name)).read().splitlines()
    except OSError:
        continue
    if not lines or lines[0] != "enabled":
        continue
    fields = dict(line.split(" ", 1) for line in lines[1:] if " " in line)
    if "magic" not in fields:
        continue
    magic = bytes.fromhex(fields["magic"])
    mask = bytes.fromhex(fields.get("mask", "ff" * len(magic)))
    offset = int(fields.get("offset", "0"))
    window = head[offset:offset + len(magic)]
    if len(window) == len(magic) and all((b & m) == (g & m) for b, m, g in zip(window, mask, magic)):
        print(name)
        sys.exit(0)
sys.exit(1)
EOF
}

probe_i386() {
  if [ -n "${ORVANE_ASSUME_NO_32BIT:-}" ]; then
    probe_reason="ORVANE_ASSUME_NO_32BIT is set"
    return 1
  fi
  mkdir -p "$orvane_probe_dir"
  local probe="$orvane_probe_dir/i386-exit0"
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
  local entry
  if entry="$(binfmt_takes_i386 "$probe")"; then
    probe_reason="the binfmt_misc entry '$entry' would run i386 programs through an emulator, not this kernel"
    return 1
  fi
  local status=0
  run_probe "$probe" || status=$?
  if [ "$status" -eq 0 ]; then
    probe_reason="this kernel starts i386 ELF programs"
    return 0
  fi
  probe_reason="this kernel starts no i386 ELF program ($(probe_outcome "$status")${probe_error:+: $probe_error})"
  return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  if probe_wow64; then echo "wow64: yes: $probe_reason"; else echo "wow64: no: $probe_reason"; fi
  if probe_i386; then echo "i386: yes: $probe_reason"; else echo "i386: no: $probe_reason"; fi
fi
