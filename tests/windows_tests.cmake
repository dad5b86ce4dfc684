# Windows tests of the win64 preset; each runs under wine64 through the cross-compiling emulator.

set(ORVANE_LUA_TEST_DIR "Z:${CMAKE_CURRENT_SOURCE_DIR}/lua")

# orvane_lua_test(NAME n SCRIPT file.lua [ARGS ...] [HOST_OPTIONS ...] [RESOURCE_LOCK ...] [PREFIX name]
#                 [TIMEOUT seconds] [LAUNCHER command ...] [HOST target])
# Runs a Lua script in the stand-in host (HOST, orvane-host by default) with the add-in of this build. Scripts find the shared
# helpers (require "testlib") on LUA_PATH. PREFIX gives the test a Wine prefix of its own, for tests
# that change machine-wide state other tests would see (the host's log folder, say), or that find the
# add-in's window by name from another process: window names are per prefix, and every host running
# in parallel has a window of that name. Tests that share a PREFIX run one at a time.
function(orvane_lua_test)
  cmake_parse_arguments(T "" "NAME;SCRIPT;PREFIX;TIMEOUT;HOST" "ARGS;HOST_OPTIONS;RESOURCE_LOCK;LAUNCHER" ${ARGN})
  if(NOT T_HOST)
    set(T_HOST orvane-host)
  endif()
  # A LAUNCHER (a native program that runs the host itself, e.g. next to a peer it serves) takes the
  # host's command line, emulator included, as its trailing arguments.
  set(host ${T_HOST})
  if(T_LAUNCHER)
    set(host ${T_LAUNCHER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${T_HOST}>)
  endif()
  add_test(NAME lua.${T_NAME}
    COMMAND ${host} --addin $<TARGET_FILE:Orvane> --debug-alloc ${T_HOST_OPTIONS}
            Z:${CMAKE_CURRENT_SOURCE_DIR}/${T_SCRIPT} ${T_ARGS})
  set(env "LUA_PATH=${ORVANE_LUA_TEST_DIR}/?.lua" "ORVANE_RETRY_KILLED=1")
  if(T_PREFIX)
    list(APPEND env "ORVANE_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-${T_PREFIX}")
    list(APPEND T_RESOURCE_LOCK "prefix-${T_PREFIX}")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(lua.${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT}
    FAIL_REGULAR_EXPRESSION "[1-9][0-9]* failed")
  if(T_RESOURCE_LOCK)
    set_tests_properties(lua.${T_NAME} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()

# In-process tests: the add-in's code linked into a test program together with the stand-in runtime,
# for what a script cannot reach (deliveries, forged messages, the COM frame's counts, handle closing).
# The stand-in host's keeper of OutputDebugString lines lets them see the causes the add-in writes.
add_executable(orvane_win_tests win/delivery_test.cpp win/binding_test.cpp win/exchange_loop_test.cpp
  win/speed_limit_test.cpp win/handles_test.cpp ${CMAKE_SOURCE_DIR}/host/debug_output.cpp)
target_include_directories(orvane_win_tests PRIVATE ${CMAKE_SOURCE_DIR}/third_party/lua5.1/src)
target_link_libraries(orvane_win_tests PRIVATE orvane_addin VemoLuaRuntime GTest::gtest_main)
target_link_options(orvane_win_tests PRIVATE -static)
orvane_warnings(orvane_win_tests)
# One case at a time, as when they shared one process: their windows, tray stand-ins and failure lines
# are seen across the prefix.
orvane_gtest_cases(orvane_win_tests win TIMEOUT 120 RESOURCE_LOCK win-in-process)

orvane_lua_test(NAME convention SCRIPT lua/convention_test.lua)
orvane_lua_test(NAME check SCRIPT lua/check_test.lua HOST_OPTIONS --check Z:${CMAKE_SOURCE_DIR}/annotations/orvane.lua)
orvane_lua_test(NAME host_logs SCRIPT lua/host_logs_test.lua PREFIX logs TIMEOUT 300)
orvane_lua_test(NAME host_addin_object SCRIPT ../host/tests/addin_object.lua)
orvane_lua_test(NAME host_no_env SCRIPT ../host/tests/no_env.lua HOST_OPTIONS --no-env)
orvane_lua_test(NAME host_loop SCRIPT ../host/tests/host_loop.lua)
orvane_lua_test(NAME second_startup SCRIPT lua/second_startup_test.lua HOST_OPTIONS --startup-count 2)
set_tests_properties(lua.second_startup PROPERTIES PASS_REGULAR_EXPRESSION "[0-9]+ passed, 0 failed")
# The tray simulator's windows are seen by every process of a Wine prefix, and every add-in there
# answers its tray window: a prefix of its own keeps other tests' add-ins out of the hand-shake.
orvane_lua_test(NAME speed_limit SCRIPT lua/speed_limit_test.lua ARGS Z:$<TARGET_FILE:orvane-tray-sim>
  PREFIX tray RESOURCE_LOCK tray-window TIMEOUT 300)

# The same add-in beside a runtime that exports by name only what the add-in is promised: it loads,
# keeps the calling convention, and carries the speed-limit hand-shake without lua_settop.
add_test(NAME host.promised_exports COMMAND ${CMAKE_SOURCE_DIR}/host/tests/check_named_exports.sh ${CMAKE_OBJDUMP}
  $<TARGET_FILE:VemoLuaRuntimePromised> ${CMAKE_SOURCE_DIR}/runtime/VemoLuaRuntime.def.in)
orvane_lua_test(NAME promised_runtime.convention SCRIPT lua/convention_test.lua HOST orvane-host-promised)
orvane_lua_test(NAME promised_runtime.speed_limit SCRIPT lua/speed_limit_test.lua HOST orvane-host-promised
  ARGS Z:$<TARGET_FILE:orvane-tray-sim> PREFIX tray RESOURCE_LOCK tray-window TIMEOUT 300)

add_executable(poke_window tools/poke_window.cpp)
target_compile_definitions(poke_window PRIVATE UNICODE _UNICODE)
target_link_options(poke_window PRIVATE -static)
orvane_warnings(poke_window)
orvane_lua_test(NAME forged_delivery SCRIPT lua/forged_delivery_test.lua ARGS Z:$<TARGET_FILE:poke_window>
  PREFIX windows)

include(net_tests.cmake)
orvane_lua_test(NAME no_env_window SCRIPT lua/no_env_window_test.lua HOST_OPTIONS --no-env
  ARGS Z:$<TARGET_FILE:poke_window> PREFIX windows)

include(local_machine_tests.cmake)
include(robustness_tests.cmake)
include(failure_paths.cmake)
# The built module as COM clients meet it: loaded from the build folder and driven through its
# exports (unload rules, identity, aggregation, slots, type library, version resource), and
# registered with regsvr32. Both run in a prefix of their own: registration changes
# HKEY_CLASSES_ROOT for every program of the prefix, and Startup brings up add-in windows that
# other tests' tray and setup stand-ins would find.
add_executable(orvane_com_tests win/com_frame_test.cpp win/module_resources_test.cpp win/registration_test.cpp)
target_include_directories(orvane_com_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(orvane_com_tests PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0601 ORVANE_LUA_TEST_DIR=L"${ORVANE_LUA_TEST_DIR}")
target_link_libraries(orvane_com_tests PRIVATE orvane_core GTest::gtest_main ole32 oleaut32 version advapi32 user32)
# The installer writes the type library's keys from a script of its own; registration is held to it.
target_compile_definitions(orvane_com_tests PRIVATE
  ORVANE_TYPELIB_SCRIPT="Z:${CMAKE_SOURCE_DIR}/installer/typelib.regscript")
target_link_options(orvane_com_tests PRIVATE -static)
orvane_warnings(orvane_com_tests)
add_dependencies(orvane_com_tests Orvane VemoLuaRuntime orvane-host)
# Registration changes HKEY_CLASSES_ROOT for the whole prefix, so the cases take it one at a time.
orvane_gtest_cases(orvane_com_tests com TIMEOUT 120 RESOURCE_LOCK prefix-com ENVIRONMENT
  ORVANE_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-com)

# The static checks of the shipped i686 module also hold for this build's module (less what only
# i686 shows), which keeps the checks themselves exercised by every test run.
add_test(NAME artifact COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-artifact.sh $<TARGET_FILE:Orvane>)
# The static checks read the built files with mingw's objdump and run no Windows code: a machine that
# runs the rest of the suite elsewhere (the i686 guest) runs these itself, by their label.
set_tests_properties(artifact host.promised_exports PROPERTIES LABELS static TIMEOUT 120)
# Where the build makes a PDB (clang and lld), the PDB and the symbols ZIP against the module, and a
# crash of the module read back through them.
if(TARGET orvane_symbols)
  add_test(NAME symbols COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-symbols.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(symbols PROPERTIES LABELS static TIMEOUT 120)
  include(crash/crash.cmake)
endif()
include(examples.cmake)
include(i686/stage.cmake)

# Where ctest has no times of its own (a fresh build folder), it starts tests in the order they were
# added; with these it starts the costliest first. The tests that use the service ports run one at a
# time, and about half the suite's time is theirs: left to the end, they run alone while the other
# slots stand idle. The figures are seconds in the i686 guest, where the suite runs 20-50 minutes;
# only their order counts.
foreach(cost IN ITEMS lua.failure_paths:865 lua.forged_delivery:306 lua.inflight_cap:247 lua.speed_limit:231
    lua.promised_runtime.speed_limit:217 lua.client:168 lua.game_platform:166 lua.inflight:162 lua.storm.3:133
    lua.storm.1031:129 lua.storm.1:123 lua.host_logs:103 lua.host_annotations:86
    lua.storm.2:82 lua.shell:77 lua.tips:70)
  string(REPLACE ":" ";" cost "${cost}")
  list(GET cost 0 name)
  list(GET cost 1 seconds)
  set_tests_properties(${name} PROPERTIES COST ${seconds})
endforeach()
