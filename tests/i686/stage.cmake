# The stage script and its second process. scripts/test-i686.sh runs them on the i686 build under
# 32-bit Wine; here the same script runs in the win64 suite, so a change of behaviour shows up there
# at once and a failure of the i686 run points at the 32-bit build itself.
add_executable(addin_caller ${CMAKE_CURRENT_SOURCE_DIR}/tools/addin_caller.cpp)
target_compile_definitions(addin_caller PRIVATE UNICODE _UNICODE)
target_include_directories(addin_caller PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(addin_caller PRIVATE -static)
orvane_warnings(addin_caller)

if(CMAKE_CROSSCOMPILING_EMULATOR)
  # The second process finds the host's window by name: the windows prefix keeps other hosts away.
  add_test(NAME lua.stage
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/service_peers.py --tips --game --
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:orvane-host> --addin Z:$<TARGET_FILE:Orvane>
            Z:${CMAKE_CURRENT_SOURCE_DIR}/i686/stage.lua Z:$<TARGET_FILE:addin_caller>
            Z:${CMAKE_BINARY_DIR}/stage-ready.txt Z:${CMAKE_BINARY_DIR}/stage-done.txt)
  set_tests_properties(lua.stage PROPERTIES
    ENVIRONMENT "LUA_PATH=${ORVANE_LUA_TEST_DIR}/?.lua;ORVANE_RETRY_KILLED=1;ORVANE_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-windows"
    TIMEOUT 300
    FAIL_REGULAR_EXPRESSION "[1-9][0-9]* failed"
    RESOURCE_LOCK "tips-port;game-port;prefix-windows")
endif()
