#!/usr/bin/env bash
# Makes third_party/wine-wow64: a Wine tree whose wine64 runs i686 programs in Wine's WoW64 mode, inside
# a 64-bit process, as most users run the add-in: a 32-bit host on 64-bit Windows. Wine 8 runs that
# code natively in the kernel's 32-bit code segment, so the tree works only where the kernel has one;
# on a kernel that runs no 32-bit code ("IA-32 emulation off") wineboot leaves syswow64 empty, which
# scripts/wine-run reports (scripts/machine-probes.sh tells the two kinds apart beforehand).
#
# Debian's wine64 already holds the WoW64 layer (wow64*.dll); it lacks the 32-bit PE DLLs, which come
# in libwine:i386. Its package is downloaded and unpacked, never installed, so no i386 ELF program
# runs. The tree has no 32-bit loader beside its wine64, which is what sends i686 programs through
# WoW64:
#   lib/wine/wine64, lib/wine/wineserver          copies of the system's loader and server
#   lib/x86_64-linux-gnu/wine/x86_64-unix         a real copy: Wine finds its DLL folders from where
#                                                 ntdll.so really lies, so a link would lead it back
#   lib/x86_64-linux-gnu/wine/x86_64-windows      a link to the system's
#   lib/x86_64-linux-gnu/wine/i386-windows        the unpacked 32-bit DLLs and zlib1.dll, which
#                                                 libwine's install script makes and the package lacks
#   share/wine                                    a link to the system's
# Once: about 95 MB downloaded, 590 MB on disk, 20 s. Again: one dpkg query.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt.sh
tree="$PWD/third_party/wine-wow64"
system=/usr/lib/x86_64-linux-gnu/wine

version=$(dpkg-query -W -f='${Version}' libwine:amd64)
if [ "$(cat "$tree/.ready" 2>/dev/null)" = "$version" ]; then exit 0; fi
started=$(date +%s)
echo "wine-wow64: making $tree for Wine $version (once: about 95 MB to download, 590 MB on disk)"

if ! dpkg --print-foreign-architectures | grep -qx i386; then dpkg --add-architecture i386; fi
work="$PWD/third_party/wine-wow64.work"
rm -rf "$work" "$tree"
mkdir -p "$work"
# The lists may not know the i386 packages yet (the architecture is new, or they are old).
if ! (cd "$work" && apt-get download -qq "libwine:i386=$version" 2>/dev/null); then
  apt_update
  (cd "$work" && apt_try apt-get download -qq "libwine:i386=$version")
fi
dpkg-deb -x "$work"/libwine_*_i386.deb "$work/unpacked"

mkdir -p "$tree/lib/wine" "$tree/lib/x86_64-linux-gnu/wine" "$tree/share"
cp /usr/lib/wine/wine64 "$tree/lib/wine/wine64"
cp /usr/lib/wine/wineserver64 "$tree/lib/wine/wineserver"
cp -a "$system/x86_64-unix" "$tree/lib/x86_64-linux-gnu/wine/"
ln -s "$system/x86_64-windows" "$tree/lib/x86_64-linux-gnu/wine/x86_64-windows"
mv "$work/unpacked/usr/lib/i386-linux-gnu/wine/i386-windows" "$tree/lib/x86_64-linux-gnu/wine/i386-windows"
# Without it wineboot leaves syswow64 empty and no i686 program finds kernel32.dll.
cp "$system/i386-windows/zlib1.dll" "$tree/lib/x86_64-linux-gnu/wine/i386-windows/"
ln -s /usr/share/wine "$tree/share/wine"
rm -rf "$work"
echo "$version" > "$tree/.ready"
echo "wine-wow64: ready in $(( $(date +%s) - started )) s ($(du -sh "$tree" | cut -f1))"
