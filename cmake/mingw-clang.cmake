# Clang and lld for a mingw-w64 target, on the mingw-w64 sysroot and GCC 12's posix-thread libstdc++
# (the C++ library the add-in has always been built against). Included by toolchain-win32.cmake and
# toolchain-win64.cmake, which set ORVANE_MINGW_TRIPLE first.
#
# What lld brings over GNU ld: a PDB beside each module, which Windows debuggers read where they read
# no DWARF, with a CodeView record in the module that names it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${ORVANE_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${ORVANE_MINGW_TRIPLE})
# Resources, import libraries and the type library come from the same binutils and widl as with GCC, so
# their bytes do not depend on the compiler.
set(CMAKE_RC_COMPILER ${ORVANE_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${ORVANE_MINGW_TRIPLE}-dlltool)
set(ORVANE_OBJDUMP ${ORVANE_MINGW_TRIPLE}-objdump)
# The tests read binutils' objdump's listing of a module, which llvm-objdump lays out otherwise.
set(CMAKE_OBJDUMP ${ORVANE_OBJDUMP})
set(ORVANE_WIDL ${ORVANE_MINGW_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${ORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Clang does not take Debian's GCC folder (12-posix) for a GCC installation, so it finds neither
# libstdc++ nor GCC's start files there: the headers come from it by -isystem, the libraries by -L, and
# crtbegin.o and crtend.o by -B. The last matters most on i686, where GCC's crtbegin.o registers the
# module's unwind tables with libgcc's unwinder; the sysroot's stand-in registers nothing, and every
# throw would end in terminate. libstdc++'s thread-local variables are GCC's emulated ones, so ours
# are too, and the emulation's winpthreads goes in with them (statically wherever a module links
# -static, as every one of ours does).
set(ORVANE_GCC_DIR /usr/lib/gcc/${ORVANE_MINGW_TRIPLE}/12-posix)
set(ORVANE_LIBSTDCXX_INCLUDE ${ORVANE_GCC_DIR}/include/c++)
string(JOIN " " CMAKE_CXX_FLAGS_INIT -isystem ${ORVANE_LIBSTDCXX_INCLUDE}
  -isystem ${ORVANE_LIBSTDCXX_INCLUDE}/${ORVANE_MINGW_TRIPLE} -isystem ${ORVANE_LIBSTDCXX_INCLUDE}/backward
  -femulated-tls)
set(CMAKE_C_FLAGS_INIT -femulated-tls)
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -B${ORVANE_GCC_DIR} -L${ORVANE_GCC_DIR} -lpthread")
endforeach()
