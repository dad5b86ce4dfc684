# Tests of the methods that act on the local machine: the game client's registry key, mutex and
# launches, the download drive, the shell, the foreground window and the timed HTTP GET. Their peers
# are helper programs of this suite and a loopback HTTP server the test controls.

foreach(peer registry_writer window_poster drive_report)
  add_executable(orvane_${peer} peers/${peer}.cpp)
  target_compile_definitions(orvane_${peer} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_options(orvane_${peer} PRIVATE -static -municode)
  orvane_warnings(orvane_${peer})
endforeach()

# Each script gets a folder of its own for the files its peers write.
function(orvane_work_dir name out)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/work/${name})
  file(MAKE_DIRECTORY ${dir})
  set(${out} Z:${dir} PARENT_SCOPE)
endfunction()

target_sources(orvane_win_tests PRIVATE win/http_get_test.cpp win/registry_read_test.cpp)

function(orvane_machine_test name script)
  cmake_parse_arguments(M "" "" "OPTIONS" ${ARGN})
  orvane_work_dir(${name} work)
  orvane_lua_test(NAME ${name} SCRIPT ${script} ${M_OPTIONS}
    ARGS work=${work}
         recorder=Z:$<TARGET_FILE:orvane-recorder>
         mutex_holder=Z:$<TARGET_FILE:orvane-mutex-holder>
         registry_writer=Z:$<TARGET_FILE:orvane_registry_writer>
         window_poster=Z:$<TARGET_FILE:orvane_window_poster>
         drive_report=Z:$<TARGET_FILE:orvane_drive_report>)
endfunction()

orvane_machine_test(client lua/client_test.lua OPTIONS RESOURCE_LOCK client-registry)
# Registers a document type machine-wide in the prefix for as long as it runs.
orvane_machine_test(shell lua/shell_test.lua OPTIONS RESOURCE_LOCK client-registry)

# Top-level windows need a display driver; this prefix gets Wine's headless one. The driver is chosen
# when the prefix's desktop starts, so the setup waits until every process of the prefix has ended.
set(ORVANE_DISPLAY_PREFIX ${CMAKE_BINARY_DIR}/wineprefix-display)
add_test(NAME lua.display.setup
  COMMAND sh -c "\"$@\" reg add 'HKCU\\Software\\Wine\\Drivers' /v Graphics /d null /f && \"$@\" --wineserver -w"
          sh ${CMAKE_CROSSCOMPILING_EMULATOR})
set_tests_properties(lua.display.setup PROPERTIES FIXTURES_SETUP display
  ENVIRONMENT "ORVANE_WINEPREFIX=${ORVANE_DISPLAY_PREFIX}" RESOURCE_LOCK display-prefix TIMEOUT 120)
orvane_lua_test(NAME foreground SCRIPT lua/foreground_test.lua PREFIX display RESOURCE_LOCK display-prefix)
set_tests_properties(lua.foreground PROPERTIES FIXTURES_REQUIRED display)

# The HTTP peer runs natively on loopback around the host and hands it the port it got.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
function(orvane_http_test name script)
  orvane_work_dir(${name} work)
  set(log ${CMAKE_CURRENT_BINARY_DIR}/work/${name}/http.log)
  orvane_lua_test(NAME ${name} SCRIPT ${script} TIMEOUT 120
    LAUNCHER ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/http_peer.py --log ${log} --
    ARGS work=${work} log=Z:${log} port={port})
endfunction()

orvane_http_test(http lua/http_test.lua)
orvane_http_test(http_unload lua/http_unload_test.lua)
orvane_http_test(http_endless_body lua/http_endless_body_test.lua)
