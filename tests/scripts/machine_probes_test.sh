#!/usr/bin/env bash
# The probes that decide which i686 paths a machine runs: the switch that models a machine without
# 32-bit code makes both answer no, and a binfmt_misc entry that would hand i386 programs to an
# emulator makes the i386 probe answer no, while entries that would not take them change nothing.
set -uo pipefail
source "$(dirname "$0")/../../scripts/machine-probes.sh"
failures=0
check() {  # description, expected answer (yes|no), probe[, text the reason must hold]
  local answer=no
  if "$3"; then answer=yes; fi
  if [ "$answer" = "$2" ] && [[ "$probe_reason" == *"${4:-}"* ]]; then echo "ok    $1 ($probe_reason)"; else echo "FAIL  $1: $answer ($probe_reason)"; failures=$((failures + 1)); fi
}
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

ORVANE_ASSUME_NO_32BIT=1 check "the switch: wow64 answers no" no probe_wow64 ORVANE_ASSUME_NO_32BIT
ORVANE_ASSUME_NO_32BIT=1 check "the switch: i386 answers no" no probe_i386 ORVANE_ASSUME_NO_32BIT

unset ORVANE_ASSUME_NO_32BIT
native=no
if probe_i386; then native=yes; fi
entry() {  # name, first line, magic, mask
  printf '%s\ninterpreter /usr/libexec/qemu-binfmt/%s\nflags: POCF\noffset 0\nmagic %s\nmask %s\n' \
    "$2" "$1" "$3" "$4" > "$1"
}
mkdir -p "$work/other" "$work/i386" "$work/disabled"
printf 'enabled\n' | tee "$work/other/status" "$work/i386/status" "$work/disabled/status" >/dev/null
# qemu-user's own entries: aarch64 takes no i386 program, i386 takes every one.
(cd "$work/other" && entry qemu-aarch64 enabled 7f454c460201010000000000000000000200b700 \
  ffffffffffffff00fffffffffffffffffeffffff)
(cd "$work/i386" && entry qemu-i386 enabled 7f454c4601010100000000000000000002000300 \
  fffffffffffefefcfffffffffffffffffeffffff)
(cd "$work/disabled" && entry qemu-i386 disabled 7f454c4601010100000000000000000002000300 \
  fffffffffffefefcfffffffffffffffffeffffff)
ORVANE_BINFMT_DIR="$work/i386" check "an enabled i386 emulator entry: i386 answers no" no probe_i386 "entry 'qemu-i386'"
ORVANE_BINFMT_DIR="$work/other" check "an entry for another machine: i386 answers as without it" "$native" probe_i386 "this kernel"
ORVANE_BINFMT_DIR="$work/disabled" check "a disabled i386 entry: i386 answers as without it" "$native" probe_i386 "this kernel"

[ "$failures" -eq 0 ] && echo "machine probes: ok" || { echo "machine probes: $failures failed"; exit 1; }
