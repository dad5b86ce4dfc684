# The second compiler: the win32 preset's sources for i686 with mingw-w64 GCC 12 (posix threads)
# and GNU ld. The win32 preset builds them with clang and lld (toolchain-win32.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_DLLTOOL i686-w64-mingw32-dlltool)
set(ORVANE_OBJDUMP i686-w64-mingw32-objdump)
set(ORVANE_WIDL i686-w64-mingw32-widl)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Every Windows test of the win32 preset runs the i686 build in Wine's WoW64 mode, in a 64-bit prefix
# of its own, as on 64-bit Windows. WoW64 runs i686 code in the kernel's 32-bit code segment, so the
# suite runs only where the kernel has one (scripts/machine-probes.sh; scripts/test.sh asks first).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run --wow64)
