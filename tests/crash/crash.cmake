# A crash in the field, read back the way a debugger reads it (crash_test.py): the shipped module from
# the symbols ZIP faults in a host whose crash reporter writes a minidump, and the dump, the store's
# two files and llvm-symbolizer must name the function and line of the fault.
add_executable(orvane_crash_host ${CMAKE_CURRENT_LIST_DIR}/crash_host.cpp)
target_compile_definitions(orvane_crash_host PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(orvane_crash_host PRIVATE dbghelp ole32 uuid)
target_link_options(orvane_crash_host PRIVATE -static -municode)
orvane_warnings(orvane_crash_host)
add_dependencies(orvane_crash_host orvane_symbols VemoLuaRuntime)
add_test(NAME crash.resolves
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/crash_test.py --symbols ${ORVANE_SYMBOLS_ZIP}
          --host $<TARGET_FILE:orvane_crash_host> --source ${CMAKE_SOURCE_DIR}
          --work ${CMAKE_CURRENT_BINARY_DIR}/work/crash -- ${CMAKE_CROSSCOMPILING_EMULATOR})
set_tests_properties(crash.resolves PROPERTIES TIMEOUT 300 PASS_REGULAR_EXPRESSION "ok    \\+0x[0-9a-f]+ is DllGetClassObject")
