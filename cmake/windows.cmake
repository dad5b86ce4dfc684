# Windows-only pieces of the build: the add-in module and the import library of the host's runtime.

# The runtime's entries are callee-cleans with undecorated names on i686; dlltool's --kill-at maps
# the decorated symbols the compiler emits onto those names.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ARG4 "@4")
  set(ARG16 "@16")
  set(ARG28 "@28")
else()
  set(ARG4 "")
  set(ARG16 "")
  set(ARG28 "")
endif()
configure_file(${CMAKE_SOURCE_DIR}/runtime/VemoLuaRuntime.def.in ${CMAKE_BINARY_DIR}/VemoLuaRuntime.def @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/libVemoLuaRuntime-host.a
  COMMAND ${CMAKE_DLLTOOL} --kill-at -d ${CMAKE_BINARY_DIR}/VemoLuaRuntime.def
          -l ${CMAKE_BINARY_DIR}/libVemoLuaRuntime-host.a
  DEPENDS ${CMAKE_BINARY_DIR}/VemoLuaRuntime.def
  COMMENT "Import library of the host runtime")
add_custom_target(vemo_runtime_implib DEPENDS ${CMAKE_BINARY_DIR}/libVemoLuaRuntime-host.a)
add_library(vemo_runtime_import INTERFACE)
add_dependencies(vemo_runtime_import vemo_runtime_implib)
target_link_libraries(vemo_runtime_import INTERFACE ${CMAKE_BINARY_DIR}/libVemoLuaRuntime-host.a)

# Everything of the add-in but its entry points, as a library: the module links it, and so do the
# in-process tests, which drive the same code without going through COM.
add_library(orvane_addin STATIC)
target_include_directories(orvane_addin PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(orvane_addin PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
  PRIVATE ORVANE_TIPS_HOST="${ORVANE_TIPS_HOST}" ORVANE_GAME_HOST="${ORVANE_GAME_HOST}")
orvane_warnings(orvane_addin)
# The shipped Release build leaves the thread checks out; every other build, the tests' included, has them.
target_compile_definitions(orvane_addin PUBLIC $<$<NOT:$<CONFIG:Release>>:ORVANE_THREAD_CHECKS>)
target_link_libraries(orvane_addin PUBLIC orvane_core vemo_runtime_import ws2_32 wininet shell32 ole32 oleaut32 uuid advapi32 user32
  kernel32)

# The add-in module. Only system DLLs and the host runtime may be imported: the C and C++ runtimes go
# in statically.
add_library(Orvane SHARED)
set_target_properties(Orvane PROPERTIES PREFIX "" OUTPUT_NAME "Orvane")
orvane_warnings(Orvane)
target_link_options(Orvane PRIVATE -static -static-libgcc -static-libstdc++)
# On i686 the loader calls a frame-based exception handler of a module only if the module allows it.
# This one registers none (its C++ unwinding is table-driven), so it says so, and a handler address
# planted on the stack by an overflow is never called in its name. x86_64 has no such handlers.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(Orvane PRIVATE -Wl,--no-seh)
endif()
target_link_libraries(Orvane PRIVATE orvane_addin)

# The shipped module is held to 256 KiB (i686, stripped; docs/performance.md). Its time goes to
# platform calls, not to its own code, so that code is optimised for size in every optimised
# configuration. The build keeps the symbols, in the module's symbol table with GCC and in the PDB
# beside it with clang, which the artifact checks read; the shipped copy leaves the table out.
foreach(target orvane_core orvane_addin Orvane)
  target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-Os>)
endforeach()

# With clang and lld the module comes with its PDB, which Windows debuggers and crash tools read (they
# read no DWARF): CodeView for the module's own code, the PDB written by the link beside the module.
# The module's CodeView record names the PDB by its file name alone (%_PDB%), so no build machine's
# folder is in the module, and a debugger finds the PDB by that name and the record's GUID and age in
# a symbol store (cmake/shipped.cmake). /Brepro makes the header's time stamp a hash of the module, as
# lld makes the record's GUID a hash of the PDB, so that two builds of one commit in one folder give
# the same module and PDB identity (scripts/check-reproducible.sh; the PDB records the folders).
# The library code comes from archives that carry DWARF of their own; the module keeps it, as it
# keeps everything the link wrote, and the shipped copy leaves it behind (cmake/shipped.cmake).
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  foreach(target orvane_core orvane_addin Orvane)
    target_compile_options(${target} PRIVATE -g -gcodeview)
  endforeach()
  set(ORVANE_PDB ${CMAKE_BINARY_DIR}/Orvane.pdb)
  target_link_options(Orvane PRIVATE -Wl,--pdb=${ORVANE_PDB} -Wl,--Xlink=-pdbaltpath:%_PDB% -Wl,--Xlink=-Brepro)
  # lld names the export directory after the output file, not after the .def's LIBRARY, and writes no
  # header checksum: both are put right in place, before anything reads the module.
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(ORVANE_PE_FINISH ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_finish.py)
  add_custom_command(TARGET Orvane POST_BUILD
    COMMAND ${ORVANE_PE_FINISH} --export-name Orvane.DLL $<TARGET_FILE:Orvane>
    BYPRODUCTS ${ORVANE_PDB}
    COMMENT "Export name and checksum of Orvane.dll"
    VERBATIM)
endif()
