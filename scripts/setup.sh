#!/usr/bin/env bash
# Installs the toolchains (clang, lld and LLVM's tools, which build the Windows presets on mingw-w64
# GCC's C++ library and read their PDBs; GCC itself, the second compiler), fetches the Lua 5.1 sources
# the stand-in host is built from and makes the Wine tree that runs the i686 build
# (scripts/wine-wow64.sh). It makes the tree on every machine, also where the kernel runs no 32-bit
# code and nothing will use it: it costs seconds, and a machine's answer is the probes'
# (scripts/machine-probes.sh), asked where the tree is used.
# Safe to run again: every step checks first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt.sh

need=()
for pkg in g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev wine64 \
           cmake ninja-build googletest clang lld llvm libclang-rt-14-dev dpkg-dev binutils-mingw-w64-i686 \
           binutils-mingw-w64-x86-64 python3 clang-tidy clang-format lua-check wixl msitools \
           osslsigncode openssl faketime; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done

src_list=/etc/apt/sources.list.d/orvane-src.sources
if [ ! -f "$src_list" ]; then
  cat > "$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  updated=no
fi

if [ ${#need[@]} -gt 0 ] || [ "${updated:-yes}" = no ]; then
  apt_update
fi
if [ ${#need[@]} -gt 0 ]; then
  apt_install "${need[@]}"
fi

# Lua 5.1.5 from Debian's source package; kept under third_party/ which git ignores.
if [ ! -f third_party/lua5.1/src/lapi.c ]; then
  rm -rf third_party/lua-src && mkdir -p third_party/lua-src
  (cd third_party/lua-src && apt_try apt-get source -qq --download-only lua5.1 >/dev/null \
     && dpkg-source -x --no-check ./lua5.1_*.dsc lua5.1 >/dev/null)
  rm -rf third_party/lua5.1
  mv third_party/lua-src/lua5.1 third_party/lua5.1
  rm -rf third_party/lua-src
fi
# The Wine tree that runs the i686 build in WoW64 mode, where the kernel runs 32-bit code.
bash scripts/wine-wow64.sh
echo "setup: toolchains, Lua sources and the WoW64 Wine ready"
