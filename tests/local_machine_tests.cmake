# Tests of the methods that act on the local machine: the game client's registry key, mutex and
# launches, the download drive, the shell, the foreground window and the timed HTTP GET. Their peers
# are helper programs of this suite and a loopback HTTP server the test controls.

foreach(peer recorder mutex_holder registry_writer window_poster drive_report)
  add_executable(orvane_${peer} peers/${peer}.cpp)
  target_compile_definitions(orvane_${peer} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_options(orvane_${peer} PRIVATE -static -municode)
  orvane_warnings(orvane_${peer})
endforeach()
target_link_options(orvane_recorder PRIVATE -mwindows)

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
         recorder=Z:$<TARGET_FILE:orvane_recorder>
         mutex_holder=Z:$<TARGET_FILE:orvane_mutex_holder>
         registry_writer=Z:$<TARGET_FILE:orvane_registry_writer>
         window_poster=Z:$<TARGET_FILE:orvane_window_poster>
         drive_report=Z:$<TARGET_FILE:orvane_drive_report>)
endfunction()

orvane_machine_test(client lua/client_test.lua OPTIONS RESOURCE_LOCK client-registry)
