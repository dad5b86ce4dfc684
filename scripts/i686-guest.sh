#!/usr/bin/env bash
# Runs the shipped i686 build's whole suite where this machine's kernel cannot: in a Debian 12 guest
# under full-system emulation (qemu-system-x86_64 with TCG, a software CPU: no KVM needed), whose own
# kernel runs 32-bit x86 code. The guest sees the clone and its build folder at the same paths over 9p,
# so it runs the very files the host built; it builds nothing.
#
#   scripts/i686-guest.sh              make or reuse the guest; in it, the i686 suite (ctest --preset
#                                      win32, which runs every program in Wine's WoW64 mode through
#                                      scripts/wine-run --wow64) and both stages of scripts/test-i686.sh
#                                      (wow64 and win32, a 32-bit prefix of Debian's 32-bit Wine)
#   scripts/i686-guest.sh --make       only make the guest, or say it is there
#   scripts/i686-guest.sh -- CMD...    run CMD in the guest, from the clone's folder
#
# The guest is made from Debian's packages alone (debootstrap, then apt-get in the chroot) and kept in
# ORVANE_I686_GUEST_CACHE (/var/cache/orvane-i686-guest), outside the clone, under a key that is the
# hash of its recipe: the functions and package list below and the host's Wine version, which the
# guest's must equal, since the WoW64 tree of third_party holds the host's Wine's Unix side. A changed
# recipe, or a fresh machine, makes it anew; every run boots it with its disk as a throwaway snapshot,
# so a run leaves it as it was.
#
# Under emulation a program runs several times slower than on the host, and unevenly: the suite runs
# with ORVANE_TIME_SCALE (8 unless given), which stretches every ctest time limit and every wall-clock
# wait of the tests, so a test that is only slow passes and one that hangs still fails. The product's
# own time limits are not stretched. Timings mean nothing here: the benchmarks do not run.
#
# ORVANE_I686_GUEST_KVM=1 boots with KVM where /dev/kvm is there: for development only, never by
# default, since CI's machines have none and what runs there is the emulated CPU.
#
# ctest's results stay where the guest wrote them, in build/win32/Testing; the guest's console, with
# the suite's and the stages' output, is build/win32/i686-guest.log. Exit status: the guest's command's
# (ctest's, or the first stage's that failed), or 1 when the guest ended without one.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
source scripts/apt.sh

say() { echo "i686-guest: $*"; }
now() { date +%s; }
cache="${ORVANE_I686_GUEST_CACHE:-/var/cache/orvane-i686-guest}"
# A run's scratch disk, gigabytes of prefixes once used, goes however the run ends.
scratch=
trap '[ -z "$scratch" ] || rm -f "$scratch"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# ---- the recipe: everything that goes into the guest's image, and so into its key -----------------
guest_suites="bookworm bookworm-updates"
guest_packages="linux-image-amd64 python3 cmake iproute2 util-linux procps tini llvm"
# Debian's 32-bit Wine for the win32 stage, and its PE DLLs for WoW64 as well as the 64-bit Wine: the
# same version as the host's. Left out: bookworm-security, whose i386 index can lag its amd64 one for
# hours, while amd64 and i386 packages that are Multi-Arch: same must have equal versions.
guest_wine_packages() {
  local v="$1"
  echo "wine64=$v libwine=$v wine32:i386=$v libwine:i386=$v"
}

# PID 1 of the guest, as the image holds it: it mounts the control folder, then tini takes PID 1 and
# reaps what Wine's processes leave, while the run's own script (run_init below, written anew for each
# run) does the rest, so that changing it makes no new guest.
guest_init() {
  cat <<'INIT'
#!/bin/sh
mkdir -p /run/orvane
mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576 orvane /run/orvane
exec /usr/bin/tini -s -- /bin/bash /run/orvane/init
INIT
}

# The run's script under tini: it mounts the shares named in 'mounts' at their paths, runs 'command'
# in a session of its own (no terminal, so no hang-up of the console reaches it) with room for the
# in-flight tests' sockets, leaves its status beside it and powers the machine off.
run_init() {
  cat <<'INIT'
trap '' HUP
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
opts=trans=virtio,version=9p2000.L,msize=1048576,localflocks,cache=loose
mount -t tmpfs -o size=4g tmpfs /tmp
mkdir -p /dev/shm && mount -t tmpfs tmpfs /dev/shm
while read -r tag path; do
  mkdir -p "$path" && mount -t 9p -o "$opts" "$tag" "$path"
done < /run/orvane/mounts
# A disk of the run's own for Wine's prefixes: the build folder's share is slow for their many files.
mkdir -p /prefixes && mount -t ext4 /dev/vdb /prefixes
ip link set lo up
ulimit -n 65536
status=0
setsid -w bash /run/orvane/command < /dev/null > /dev/console 2>&1 || status=$?
echo "$status" > /run/orvane/status
sync
umount /prefixes || umount -l /prefixes
tac /run/orvane/mounts | while read -r tag path; do umount "$path" || umount -l "$path"; done
umount -l /run/orvane
echo o > /proc/sysrq-trigger
sleep 60
INIT
}

# Runs in the chroot that debootstrap made, with the mirror as $1 and the Wine packages after it.
guest_chroot_steps() {
  set -euo pipefail
  local mirror="$1"; shift
  export DEBIAN_FRONTEND=noninteractive LANG=C
  : > /etc/apt/sources.list
  for suite in $ORVANE_GUEST_SUITES; do echo "deb $mirror $suite main" >> /etc/apt/sources.list; done
  dpkg --add-architecture i386
  echo "127.0.0.1 localhost" > /etc/hosts
  echo orvane-guest > /etc/hostname
  local try
  update() {
    for try in 1 2 3; do apt-get update -qq && return 0; sleep $((try * 10)); done
    echo "guest: some lists could not be renewed; going on with those there are" >&2
  }
  install() {
    for try in 1 2 3; do
      apt-get install -y -qq --no-install-recommends -o Dpkg::Options::=--force-confold "$@" >/dev/null && return 0
      [ "$try" -lt 3 ] || return 1
      sleep $((try * 10)); apt-get update -qq || true
    done
  }
  update
  # The kernel finds its root disk and the shares through modules its initramfs must hold.
  install initramfs-tools
  printf '%s\n' virtio_pci virtio_blk ext4 9p 9pnet_virtio >> /etc/initramfs-tools/modules
  install $ORVANE_GUEST_PACKAGES "$@"
  du -sm /var/cache/apt/archives | cut -f1 > /downloaded-mb
  apt-get clean
  rm -rf /var/lib/apt/lists/* /var/cache/apt/*.bin
}

wine_version() { dpkg-query -W -f='${Version}' libwine:amd64; }
guest_key() {
  { echo "$guest_suites"; echo "$guest_packages"; guest_wine_packages "$(wine_version)"
    declare -f guest_init guest_chroot_steps; guest_init; } | sha256sum | cut -c1-16
}

# Debian's mirror as this machine's apt knows it.
debian_mirror() {
  local uri
  uri="$(awk '/^URIs:/ {u=$2} /^Suites:/ && / bookworm( |$)/ && u {print u; exit}' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null || true)"
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri="$(awk '$1 == "deb" && $3 == "bookworm" {print $2; exit}' /etc/apt/sources.list)"
  fi
  [ -n "$uri" ] || { echo "i686-guest: no bookworm mirror in this machine's apt sources" >&2; return 1; }
  echo "$uri"
}

need_tools() {
  local missing=()
  command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]} from Debian's packages"
    apt_update
    apt_install "${missing[@]}"
  fi
}

make_guest() {
  local dir="$1" work="$1.work" started mirror
  started=$(now)
  mirror="$(debian_mirror)"
  say "making the guest in $dir (Debian's bookworm; once per recipe)"
  rm -rf "$work" && mkdir -p "$work"
  apt_try debootstrap --variant=minbase --arch=amd64 --components=main bookworm "$work/root" "$mirror" \
    > "$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log" >&2; return 1; }
  say "debootstrap done in $(( $(now) - started )) s"
  # shellcheck disable=SC2016
  unshare --mount --fork bash -c '
    set -e
    mount --make-rprivate /
    mount -t proc proc "$1/proc"
    mount -t sysfs sysfs "$1/sys"
    mount --bind /dev "$1/dev"
    cp /etc/resolv.conf "$1/etc/resolv.conf" 2>/dev/null || true
    shift
    exec chroot "$@"' _ "$work/root" "$work/root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
      ORVANE_GUEST_SUITES="$guest_suites" ORVANE_GUEST_PACKAGES="$guest_packages" \
      bash -c "$(declare -f guest_chroot_steps); guest_chroot_steps \"\$@\"" _ "$mirror" \
      $(guest_wine_packages "$(wine_version)") > "$work/chroot.log" 2>&1 \
    || { tail -30 "$work/chroot.log" >&2; return 1; }
  rm -f "$work/root/etc/resolv.conf"
  local downloaded
  # What debootstrap fetched is still in the archives' folder beside what apt-get fetched.
  downloaded=$(cat "$work/root/downloaded-mb")
  rm -f "$work/root/downloaded-mb"
  guest_init > "$work/root/sbin/orvane-init"
  chmod 755 "$work/root/sbin/orvane-init"
  cp "$(readlink -f "$work"/root/vmlinuz)" "$work/vmlinuz"
  cp "$(readlink -f "$work"/root/initrd.img)" "$work/initrd.img"
  local used
  used=$(du -sm "$work/root" | cut -f1)
  # Room for what the suite writes outside the shares (the snapshot holds it, the image stays as made).
  mkfs.ext4 -q -F -L orvane-guest -d "$work/root" "$work/root.img" "$((used + 2048))M"
  rm -rf "$work/root"
  echo "$used" > "$work/used-mb"
  rm -rf "$dir" && mv "$work" "$dir"
  say "guest made in $(( $(now) - started )) s: about ${downloaded} MB downloaded, ${used} MB of files in a" \
    "$(du -sh --apparent-size "$dir/root.img" | cut -f1) image"
}

# The guest for this recipe, made when missing; other recipes' guests are removed.
ensure_guest() {
  need_tools
  mkdir -p "$cache"
  guest_dir="$cache/$(guest_key)"
  exec 7>"$cache/.lock"
  flock 7
  if [ ! -f "$guest_dir/root.img" ]; then
    local old
    for old in "$cache"/*; do
      if [ -d "$old" ] && [ "$old" != "$guest_dir" ]; then rm -rf "$old"; fi
    done
    make_guest "$guest_dir"
  else
    say "reusing the guest in $guest_dir"
  fi
  flock -u 7
}

# ---- a run in the guest ----------------------------------------------------------------------------
# Boots the guest with the clone (and third_party's real folder, where it lies elsewhere) shared at
# their own paths, runs the script given on stdin there, and leaves its exit status in guest_status.
boot_guest() {
  local ctl="$root/build/i686-guest" log="$1"
  rm -rf "$ctl" && mkdir -p "$ctl"
  cat > "$ctl/command"
  run_init > "$ctl/init"
  local shares=("$root") tp
  tp="$(readlink -f "$root/third_party")"
  case "$tp/" in "$root"/*) ;; *) shares+=("$tp") ;; esac
  local args=() i=0 path
  : > "$ctl/mounts"
  for path in "${shares[@]}"; do
    args+=(-virtfs "local,path=$path,mount_tag=share$i,security_model=none,multidevs=remap")
    echo "share$i $path" >> "$ctl/mounts"
    i=$((i + 1))
  done
  local accel=(-accel tcg,thread=multi -cpu max,-smap) how="TCG (software CPU)"
  if [ "${ORVANE_I686_GUEST_KVM:-}" = 1 ] && [ -w /dev/kvm ]; then
    accel=(-accel kvm -cpu qemu64) how="KVM (ORVANE_I686_GUEST_KVM=1)"
  fi
  scratch="${TMPDIR:-/var/tmp}/orvane-i686-prefixes-$$.img"
  rm -f "$scratch"
  truncate -s 32G "$scratch"
  mkfs.ext4 -q -F -L orvane-prefixes "$scratch"
  say "booting the guest with $how, 2 CPUs, 8 GB; its console goes to $log"
  local limit=$(( ${ORVANE_I686_GUEST_MINUTES:-80} * 60 )) started qemu_status=0
  started=$(now)
  : > "$log"
  tail -n +1 -f "$log" &
  local tailer=$!
  timeout --kill-after=30 "$limit" qemu-system-x86_64 "${accel[@]}" -smp 2 -m 8G \
    -nodefaults -no-user-config -display none -monitor none -no-reboot -nic none \
    -serial "file:$log" \
    -kernel "$guest_dir/vmlinuz" -initrd "$guest_dir/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 quiet loglevel=3 panic=1 init=/sbin/orvane-init" \
    -drive "file=$guest_dir/root.img,format=raw,if=virtio,snapshot=on,cache=unsafe" \
    -drive "file=$scratch,format=raw,if=virtio,cache=unsafe" \
    -virtfs "local,path=$ctl,mount_tag=orvane,security_model=none" \
    "${args[@]}" || qemu_status=$?
  sleep 1
  rm -f "$scratch"
  kill "$tailer" 2>/dev/null || true
  wait "$tailer" 2>/dev/null || true
  say "the guest ran $(( $(now) - started )) s"
  if [ "$qemu_status" -eq 124 ]; then
    say "the guest did not power off within $((limit / 60)) minutes (ORVANE_I686_GUEST_MINUTES)"
  fi
  guest_status=1
  if [ -s "$ctl/status" ]; then
    guest_status="$(cat "$ctl/status")"
  else
    say "the guest ended without leaving its command's status (qemu: exit $qemu_status)"
  fi
}

# What the guest runs before any command: the host's probe switch is the host's, not the guest's, and
# the python3 that CMake recorded for the tests must be there at its path.
guest_prologue() {
  local py
  py="$(sed -n 's/^_\{0,1\}Python3_EXECUTABLE:[A-Z]*=//p' "$root/build/win32/CMakeCache.txt" 2>/dev/null | head -1)"
  cat <<EOF
set -uo pipefail
unset ORVANE_ASSUME_NO_32BIT
export ORVANE_PREFIX_DISK=/prefixes
cd '$root'
py='$py'
if [ -n "\$py" ] && [ ! -x "\$py" ]; then mkdir -p "\$(dirname "\$py")" && ln -sf /usr/bin/python3 "\$py"; fi
echo "guest: \$(uname -r), \$(nproc) CPUs, open files \$(ulimit -n)"
bash scripts/machine-probes.sh | sed 's/^/guest: /'
EOF
}

if [ "$(id -u)" != 0 ]; then echo "i686-guest: run as root (debootstrap and its chroot need it)" >&2; exit 2; fi
if [ "${1:-}" = --make ]; then
  ensure_guest
  exit 0
fi

ensure_guest
source scripts/machine-probes.sh
build_wow64_probe
mkdir -p "$root/build/win32"
log="$root/build/win32/i686-guest.log"
if [ "${1:-}" = -- ]; then
  shift
  boot_guest "$log" < <(guest_prologue; printf '%q ' "$@"; echo)
  exit "$guest_status"
fi

if [ ! -f "$root/build/win32/CTestTestfile.cmake" ]; then
  echo "i686-guest: build/win32 is not built: run cmake --preset win32 and its build first" >&2
  exit 2
fi
scale="${ORVANE_TIME_SCALE:-8}"
# The static checks read the built files with mingw's objdump, which the guest lacks: they run here,
# without listing the GoogleTest cases, whose programs this machine may not run.
echo "== i686-guest: the suite's static checks, on this machine (ctest --preset win32 -L static)"
ORVANE_LIST_CASES=no ctest --preset win32 -L '^static$'
not_run "i686 benchmarks (ctest label bench)" "under full-system emulation their timings mean nothing"
boot_guest "$log" < <(guest_prologue; cat <<EOF
export ORVANE_TIME_SCALE='$scale'
lap=\$(date +%s)
lap() { echo "guest: \$1 in \$(( \$(date +%s) - lap )) s"; lap=\$(date +%s); }
# Each GoogleTest program's cases in one Wine process: a Wine start costs tens of seconds here.
export ORVANE_LIST_CASES=programs
echo "== guest: the i686 suite in Wine's WoW64 mode (ctest --preset win32), time scale \$ORVANE_TIME_SCALE," \
  "each GoogleTest program in one process"
export ORVANE_NOT_RUN_LOG=/run/orvane/not-run.txt
: > "\$ORVANE_NOT_RUN_LOG"
suite=0
# Three at a time: many tests wait for their peers or their limits, leaving the emulated CPUs idle.
ctest --preset win32 -j3 -LE '^(static|bench)\$' --output-junit '$root/build/win32/i686-guest-junit.xml' || suite=\$?
lap "the i686 suite"
echo "== guest: both stages of scripts/test-i686.sh"
stages=0
bash scripts/test-i686.sh --built || stages=\$?
lap "the stages"
[ "\$suite" -ne 0 ] && exit "\$suite"
exit "\$stages"
EOF
)
if [ -s "$root/build/i686-guest/not-run.txt" ]; then
  if [ -n "${ORVANE_NOT_RUN_LOG:-}" ]; then cat "$root/build/i686-guest/not-run.txt" >> "$ORVANE_NOT_RUN_LOG"; fi
  sed 's/^/i686-guest: in the guest: /' "$root/build/i686-guest/not-run.txt"
fi
if [ "$guest_status" -eq 0 ]; then
  say "the i686 suite and both stages passed in the guest"
else
  say "FAILED in the guest (status $guest_status): ctest's log is build/win32/Testing/Temporary/LastTest.log"
fi
exit "$guest_status"
