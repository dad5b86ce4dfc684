# What script writers get besides the add-in: the Lua annotations (checked against the method table
# in-process, and against the stand-in host's table in that host) and the example scripts, each run
# in the stand-in host and checked by what it printed.

target_sources(orvane_win_tests PRIVATE win/annotations_test.cpp)
set_property(SOURCE win/annotations_test.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  ORVANE_ANNOTATIONS_FILE="Z:${CMAKE_SOURCE_DIR}/annotations/orvane.lua")

set(ORVANE_EXAMPLES "Z:${CMAKE_SOURCE_DIR}/examples")

# The stand-in host's table is annotated in a file of its own, checked in the host it describes.
orvane_lua_test(NAME host_annotations SCRIPT lua/host_annotations_test.lua
  ARGS Z:${CMAKE_SOURCE_DIR}/annotations/host.lua)

# The demo runs beside the loopback peers of the two services, answering as the services would, as
# scripts/demo.sh runs it.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
orvane_lua_test(NAME example.demo SCRIPT lua/examples_test.lua ARGS ${ORVANE_EXAMPLES}/demo.lua
  LAUNCHER ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/service_peers.py --tips --game --as-services --
  RESOURCE_LOCK tips-port game-port)

# The simulator finds the add-in's window by name, so these run in the prefix kept for such tests.
orvane_lua_test(NAME example.client SCRIPT lua/examples_test.lua
  ARGS ${ORVANE_EXAMPLES}/client.lua Z:$<TARGET_FILE:orvane-tray-sim> "--no-window setup 100 7"
  PREFIX windows)
orvane_lua_test(NAME example.speed_limit SCRIPT lua/examples_test.lua
  ARGS ${ORVANE_EXAMPLES}/speed_limit.lua Z:$<TARGET_FILE:orvane-tray-sim>
  PREFIX windows)

# The utilities example sends its GETs to the loopback HTTP peer, whose log shows the test what
# reached it. No window is made, so it needs no display.
set(utilities_log ${CMAKE_CURRENT_BINARY_DIR}/work/example.utilities/http.log)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/work/example.utilities)
orvane_lua_test(NAME example.utilities SCRIPT lua/examples_test.lua
  LAUNCHER ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/http_peer.py --log ${utilities_log} --
  ARGS ${ORVANE_EXAMPLES}/utilities.lua http://127.0.0.1:{port})
set_property(TEST lua.example.utilities APPEND PROPERTY ENVIRONMENT "ORVANE_HTTP_LOG=Z:${utilities_log}")

# The services example talks to the loopback peers, which wrap the host as they do for the
# network tests.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME lua.example.services
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/service_peers.py --tips --game --
          ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:orvane-host> --addin $<TARGET_FILE:Orvane>
          ${ORVANE_LUA_TEST_DIR}/examples_test.lua ${ORVANE_EXAMPLES}/services.lua)
set_tests_properties(lua.example.services PROPERTIES
  ENVIRONMENT "LUA_PATH=${ORVANE_LUA_TEST_DIR}/?.lua;ORVANE_RETRY_KILLED=1"
  TIMEOUT 120
  FAIL_REGULAR_EXPRESSION "[1-9][0-9]* failed"
  RESOURCE_LOCK "tips-port;game-port")
