# ORVANE_TIME_SCALE, a whole number (1 when unset), stretches every time limit of the suite for a
# machine where programs run several times slower than the limits were sized for: the i686 guest under
# full-system emulation. It stretches ctest's TIMEOUTs and GoogleTest's listing of cases here, and the
# tests' own wall-clock waits where they read it (tests/lua/testlib.lua, the peers, the in-process
# cases); never the add-in's own limits, which are what the tests check. ctest reads it when it runs,
# so one build folder serves the host at 1 and the guest at its scale.
#
# Each directory that adds tests notes their limits at its end (orvane_note_time_limits); the last
# directory of all, cmake/time_limits, gives ctest the script that stretches them once every test
# has been added.
set(ORVANE_TIME_SCALE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/time_scale_ctest.cmake)

function(orvane_note_time_limits)
  get_directory_property(tests TESTS)
  foreach(test IN LISTS tests)
    get_test_property(${test} TIMEOUT limit)
    if(limit)
      set_property(GLOBAL APPEND PROPERTY ORVANE_TIME_LIMITS "${test}=${limit}")
    endif()
  endforeach()
endfunction()
