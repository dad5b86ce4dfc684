# Robustness under hostile use, each bounded in time: every method with every wrong value, the
# add-in freed while its workers are out, and the hostile service peers in one soak run. Forged
# deliveries from another process are covered by lua.forged_delivery above.
set(ORVANE_SERVICE_PEERS ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/service_peers.py)

# The client key is left alone while it runs, so that no launch can find a program to start.
orvane_lua_test(NAME hostile_arguments SCRIPT lua/hostile_arguments_test.lua
  LAUNCHER ${ORVANE_SERVICE_PEERS} --tips --game --
  RESOURCE_LOCK tips-port game-port client-registry)

# The window is looked for by name from another process, hence the shared prefix of such tests.
orvane_work_dir(unload_busy unload_work)
set(unload_log ${CMAKE_CURRENT_BINARY_DIR}/work/unload_busy/http.log)
orvane_lua_test(NAME unload_busy SCRIPT lua/unload_test.lua
  LAUNCHER ${ORVANE_SERVICE_PEERS} --tips --game --
           ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/http_peer.py --log ${unload_log} --
  ARGS mode=busy poke=Z:$<TARGET_FILE:poke_window> port={port} log=Z:${unload_log}
  PREFIX windows RESOURCE_LOCK tips-port game-port)
orvane_lua_test(NAME unload_idle SCRIPT lua/unload_test.lua ARGS mode=idle poke=Z:$<TARGET_FILE:poke_window>
  PREFIX windows)
orvane_lua_test(NAME unload_unstarted SCRIPT lua/unload_test.lua HOST_OPTIONS --no-startup
  ARGS mode=unstarted poke=Z:$<TARGET_FILE:poke_window> PREFIX windows)

orvane_lua_test(NAME hostile_peers_soak SCRIPT lua/hostile_peers_soak_test.lua
  LAUNCHER ${ORVANE_SERVICE_PEERS} --tips --game --
  RESOURCE_LOCK tips-port game-port TIMEOUT 180)

# Callbacks and handlers handed over inside coroutines that finish and are collected before the
# answer comes. The export Test finds the window by name, hence the shared prefix of such tests.
orvane_lua_test(NAME coroutine_callbacks SCRIPT lua/coroutine_callbacks_test.lua
  LAUNCHER ${ORVANE_SERVICE_PEERS} --tips --game --
  PREFIX windows RESOURCE_LOCK tips-port game-port)

# Finalizers that raise while the add-in hands over an answer or calls the speed-limit handler. The
# export Test finds the window by name, hence the shared prefix of such tests; the port's lock keeps
# the game-platform peers of other tests away, so its requests fail at once.
orvane_lua_test(NAME finalizer_errors SCRIPT lua/finalizer_errors_test.lua PREFIX windows RESOURCE_LOCK game-port)

# Under Wine a host that dies without a word can still end with status 0: these pass only on the
# closing line of testlib.
foreach(test hostile_arguments unload_busy unload_idle unload_unstarted hostile_peers_soak forged_delivery coroutine_callbacks
    finalizer_errors)
  set_tests_properties(lua.${test} PROPERTIES PASS_REGULAR_EXPRESSION "[0-9]+ passed, 0 failed")
endforeach()


# The storm: a seeded sequence of every kind of script operation at once (tests/lua/storm.lua). The
# suite runs its fixed seeds briefly; scripts/storm.sh runs as many seeds and operations as asked.
# A seed that ever failed joins the fixed seeds.
set(ORVANE_STORM_SEEDS 1 2 3 1031)
set(ORVANE_STORM_OPS 800)
orvane_work_dir(storm storm_work)
set(storm_log ${CMAKE_CURRENT_BINARY_DIR}/work/storm/http.log)
foreach(seed IN LISTS ORVANE_STORM_SEEDS)
  orvane_lua_test(NAME storm.${seed} SCRIPT lua/storm.lua
    LAUNCHER ${ORVANE_SERVICE_PEERS} --tips --game --
             ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/http_peer.py --log ${storm_log} --
    ARGS seed=${seed} ops=${ORVANE_STORM_OPS} port={port} log=Z:${storm_log} work=${storm_work}
         poke=Z:$<TARGET_FILE:poke_window> caller=Z:$<TARGET_FILE:addin_caller>
    PREFIX storm RESOURCE_LOCK tips-port game-port TIMEOUT 240)
  set_tests_properties(lua.storm.${seed} PROPERTIES PASS_REGULAR_EXPRESSION "[0-9]+ passed, 0 failed")
endforeach()

# Thousands of requests in flight at once against peers that never answer or close without a word.
orvane_lua_test(NAME inflight SCRIPT lua/inflight_test.lua
  LAUNCHER ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/inflight_peers.py --hold-ms 1000 --
  RESOURCE_LOCK tips-port game-port TIMEOUT 120)
set_tests_properties(lua.inflight PROPERTIES PASS_REGULAR_EXPRESSION "[0-9]+ passed, 0 failed")

# More game-platform requests than may be in flight at once, to a server that never answers: its peer
# holds each connection for longer than starting them all takes.
orvane_lua_test(NAME inflight_cap SCRIPT lua/inflight_cap_test.lua
  LAUNCHER ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/peers/inflight_peers.py --hold-ms 5000 --
  RESOURCE_LOCK tips-port game-port TIMEOUT 120)
set_tests_properties(lua.inflight_cap PROPERTIES PASS_REGULAR_EXPRESSION "[0-9]+ passed, 0 failed")
