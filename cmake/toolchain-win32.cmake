# The shipped build: i686, clang and lld (cmake/mingw-clang.cmake); toolchain-win32-gcc.cmake builds
# the same with GCC.
set(ORVANE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-clang.cmake)
# Every Windows test of the win32 preset runs the i686 build in Wine's WoW64 mode, in a 64-bit prefix
# of its own, as on 64-bit Windows. WoW64 runs i686 code in the kernel's 32-bit code segment, so the
# suite runs only where the kernel has one (scripts/machine-probes.sh; scripts/test.sh asks first).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run --wow64)
