# libFuzzer targets of the native clang build, with AddressSanitizer and UBSan. Each also runs as a
# short, seeded test so that every test run covers a slice of its input space.
function(orvane_fuzz_target name)
  cmake_parse_arguments(F "" "RUNS" "SOURCES" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  set(flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(${name} PRIVATE ${flags})
  target_link_options(${name} PRIVATE ${flags})
  orvane_warnings(${name})
  add_test(NAME fuzz.${name} COMMAND ${name} -runs=${F_RUNS} -seed=1 -max_len=4096)
endfunction()

# The core sources are compiled into the fuzzer itself so that they are instrumented too.
orvane_fuzz_target(reply_parser_fuzz RUNS 20000
  SOURCES fuzz/reply_parser_fuzz.cpp ${CMAKE_SOURCE_DIR}/net/wire.cpp ${CMAKE_SOURCE_DIR}/net/reply_parser.cpp
    ${CMAKE_SOURCE_DIR}/net/answer_buffer_sink.cpp ${CMAKE_SOURCE_DIR}/common/first_zero.cpp)
# Inputs that once made the parser fail, each run again on every test run.
file(GLOB reply_parser_regressions ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/reply_parser_regressions/*)
add_test(NAME fuzz.reply_parser_regressions COMMAND reply_parser_fuzz ${reply_parser_regressions})
orvane_fuzz_target(registry_script_fuzz RUNS 20000
  SOURCES fuzz/registry_script_fuzz.cpp ${CMAKE_SOURCE_DIR}/addin/registry_script.cpp)
