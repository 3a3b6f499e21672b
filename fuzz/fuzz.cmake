# The libFuzzer target: RunUpdate on worlds decoded from the fuzz input.
# The test command replays the committed seeds, then fuzzes a fixed number of
# inputs, so that a loaded machine does the same work, only later (from the
# seeds, the edges covered stop growing after about 20,000); scripts/fuzz runs
# it for longer on demand.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CORVANDEL_FUZZ needs clang (libFuzzer)")
endif()

add_executable(update_fuzz fuzz/update_fuzz.cpp ${PROGRAM_SOURCES} platform/simulated/sim_platform.cpp
    messages/string_table.cpp)
target_include_directories(update_fuzz PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(update_fuzz PRIVATE -fsanitize=fuzzer -Wall -Wextra -Werror)
target_link_options(update_fuzz PRIVATE -fsanitize=fuzzer)

set(FUZZ_SEEDS ${PROJECT_SOURCE_DIR}/fuzz/corpus)
set(FUZZ_CORPUS ${CMAKE_BINARY_DIR}/fuzz-corpus)
file(MAKE_DIRECTORY ${FUZZ_CORPUS})
set(FUZZ_RUNS 50000 CACHE STRING "How many inputs the test command fuzzes")
# A failing input is saved in the build tree, never beside the sources.
set(FUZZ_ARTIFACTS -artifact_prefix=${CMAKE_BINARY_DIR}/fuzz-)
add_test(NAME fuzz_seeds COMMAND update_fuzz -runs=0 ${FUZZ_ARTIFACTS} ${FUZZ_SEEDS})
# One input takes well under a millisecond: -timeout and TIMEOUT are hang guards for a loaded machine.
add_test(NAME fuzz_bounded COMMAND update_fuzz -runs=${FUZZ_RUNS} -print_final_stats=1
    -timeout=120 ${FUZZ_ARTIFACTS} ${FUZZ_CORPUS} ${FUZZ_SEEDS})
set_tests_properties(fuzz_bounded PROPERTIES TIMEOUT 300)
