# Tests of the two network clients against loopback peers on the services' fixed ports. The peers
# are a native Python program that wraps the stand-in host; tests that share a port take its lock.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# orvane_peer_test(NAME n SCRIPT file.lua PEERS --tips|--game... [RESOURCE_LOCK ...] [TIMEOUT s])
function(orvane_peer_test)
  cmake_parse_arguments(T "" "NAME;SCRIPT;TIMEOUT" "PEERS;RESOURCE_LOCK" ${ARGN})
  add_test(NAME lua.${T_NAME}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/service_peers.py ${T_PEERS} --
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:orvane-host> --addin $<TARGET_FILE:Orvane> --debug-alloc
            Z:${CMAKE_CURRENT_SOURCE_DIR}/${T_SCRIPT})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # LANG=C gives the Wine prefix the ANSI code page 1252, which the report tests expect.
  set_tests_properties(lua.${T_NAME} PROPERTIES
    ENVIRONMENT "LUA_PATH=${ORVANE_LUA_TEST_DIR}/?.lua;LANG=C;ORVANE_RETRY_KILLED=1"
    TIMEOUT ${T_TIMEOUT}
    FAIL_REGULAR_EXPRESSION "[1-9][0-9]* failed"
    RESOURCE_LOCK "${T_RESOURCE_LOCK}")
endfunction()

orvane_peer_test(NAME tips SCRIPT lua/tips_test.lua PEERS --tips RESOURCE_LOCK tips-port)
orvane_peer_test(NAME game_platform SCRIPT lua/game_platform_test.lua PEERS --game RESOURCE_LOCK game-port)

# A resolver that takes its time: a native library preloaded into Wine, whose ws2_32 asks the system's
# getaddrinfo; the test steers it through files in its work folder. Both services must share the name.
if(ORVANE_TIPS_HOST STREQUAL ORVANE_GAME_HOST)
  find_program(ORVANE_NATIVE_CC NAMES cc gcc clang REQUIRED)
  set(slow_lookup_so ${CMAKE_CURRENT_BINARY_DIR}/slow_lookup.so)
  add_custom_command(OUTPUT ${slow_lookup_so}
    COMMAND ${ORVANE_NATIVE_CC} -shared -fPIC -O2 -Wall -Wextra -Werror -o ${slow_lookup_so}
            ${CMAKE_CURRENT_SOURCE_DIR}/tools/slow_lookup.c -ldl
    DEPENDS tools/slow_lookup.c VERBATIM)
  add_custom_target(slow_lookup ALL DEPENDS ${slow_lookup_so})
  set(slow_lookup_dir ${CMAKE_CURRENT_BINARY_DIR}/work/slow_lookup)
  file(MAKE_DIRECTORY ${slow_lookup_dir})
  orvane_lua_test(NAME slow_lookup SCRIPT lua/slow_lookup_test.lua
    LAUNCHER ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/service_peers.py --tips --game --
    ARGS dir=${slow_lookup_dir} RESOURCE_LOCK tips-port game-port TIMEOUT 120)
  set_property(TEST lua.slow_lookup APPEND PROPERTY ENVIRONMENT "LD_PRELOAD=${slow_lookup_so}"
    "ORVANE_SLOW_LOOKUP_NAME=${ORVANE_GAME_HOST}" "ORVANE_SLOW_LOOKUP_DIR=${slow_lookup_dir}")
  # Its cost, in the order of the others' (windows_tests.cmake).
  set_tests_properties(lua.slow_lookup PROPERTIES PASS_REGULAR_EXPRESSION "[0-9]+ passed, 0 failed" COST 102)
endif()
