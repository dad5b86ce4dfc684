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
    ENVIRONMENT "LUA_PATH=${ORVANE_LUA_TEST_DIR}/?.lua;LANG=C"
    TIMEOUT ${T_TIMEOUT}
    FAIL_REGULAR_EXPRESSION "[1-9][0-9]* failed"
    RESOURCE_LOCK "${T_RESOURCE_LOCK}")
endfunction()

orvane_peer_test(NAME tips SCRIPT lua/tips_test.lua PEERS --tips RESOURCE_LOCK tips-port)
orvane_peer_test(NAME game_platform SCRIPT lua/game_platform_test.lua PEERS --game RESOURCE_LOCK game-port)
