# Every failure path in turn, as SQLite runs its out-of-memory and I/O-error paths: the add-in built
# once more with its fault points (common/fault_points.hpp), beside the shipped one, and a run that for
# each kind of call makes the first, second, third... of them fail while a fixed script works the add-in,
# until a run of that script passes with no fault hit. The shipped module keeps none of it.
get_target_property(faults_sources orvane_addin SOURCES)
get_target_property(core_sources orvane_core SOURCES)
add_library(orvane_addin_faults STATIC ${faults_sources} ${core_sources} ${CMAKE_SOURCE_DIR}/common/fault_points.cpp)
foreach(property INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS INTERFACE_COMPILE_DEFINITIONS
    INTERFACE_INCLUDE_DIRECTORIES)
  get_target_property(value orvane_addin ${property})
  if(value)
    set_target_properties(orvane_addin_faults PROPERTIES ${property} "${value}")
  endif()
endforeach()
target_compile_definitions(orvane_addin_faults PUBLIC ORVANE_FAULT_POINTS)
target_link_libraries(orvane_addin_faults PUBLIC vemo_runtime_import ws2_32 wininet shell32 ole32 oleaut32 uuid
  advapi32 user32 kernel32)

# The module's exports, and the two the run arms its faults with.
file(READ ${CMAKE_BINARY_DIR}/addin/Orvane.def shipped_def)
string(REPLACE "LIBRARY \"Orvane.DLL\"" "LIBRARY \"Orvane-faults.DLL\"" faults_def "${shipped_def}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/Orvane-faults.def "${faults_def}OrvaneArmFault\nOrvaneFaultsReached\n")
add_library(Orvane-faults SHARED ${CMAKE_SOURCE_DIR}/addin/module.cpp ${CMAKE_CURRENT_BINARY_DIR}/Orvane-faults.def)
set_target_properties(Orvane-faults PROPERTIES PREFIX "")
target_link_libraries(Orvane-faults PRIVATE orvane_addin_faults)
target_link_options(Orvane-faults PRIVATE -static -static-libgcc -static-libstdc++)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(Orvane-faults PRIVATE -Wl,--no-seh)
endif()
orvane_warnings(Orvane-faults)

orvane_work_dir(failure_paths failure_paths_work)
set(failure_paths_log ${CMAKE_CURRENT_BINARY_DIR}/work/failure_paths/http.log)
add_test(NAME lua.failure_paths
  COMMAND ${ORVANE_SERVICE_PEERS} --tips --game --
          ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/http_peer.py --log ${failure_paths_log} --
          ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:orvane-host> --addin $<TARGET_FILE:Orvane-faults> --debug-alloc
          Z:${CMAKE_CURRENT_SOURCE_DIR}/lua/failure_paths_test.lua port={port} host=Z:$<TARGET_FILE:orvane-host>)
set_tests_properties(lua.failure_paths PROPERTIES
  ENVIRONMENT "LUA_PATH=${ORVANE_LUA_TEST_DIR}/?.lua;ORVANE_RETRY_KILLED=1;ORVANE_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-windows"
  RESOURCE_LOCK "tips-port;game-port;prefix-windows" TIMEOUT 900
  PASS_REGULAR_EXPRESSION "[0-9]+ passed, 0 failed" FAIL_REGULAR_EXPRESSION "[1-9][0-9]* failed")
