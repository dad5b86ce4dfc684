# The same sources for x86_64, clang and lld (cmake/mingw-clang.cmake); toolchain-win64-gcc.cmake
# builds the same with GCC.
set(ORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-clang.cmake)
# Every Windows test of the win64 preset runs under wine64 in a prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
