# The libFuzzer target: RunUpdate on worlds decoded from the fuzz input.
# The test command replays the committed seeds, then fuzzes for a minute;
# scripts/fuzz runs it for longer on demand.
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
set(FUZZ_SECONDS 60 CACHE STRING "How long the test command fuzzes")
# A failing input is saved in the build tree, never beside the sources.
set(FUZZ_ARTIFACTS -artifact_prefix=${CMAKE_BINARY_DIR}/fuzz-)
add_test(NAME fuzz_seeds COMMAND update_fuzz -runs=0 ${FUZZ_ARTIFACTS} ${FUZZ_SEEDS})
# One input takes well under a millisecond: -timeout is a hang guard for a loaded machine.
add_test(NAME fuzz_bounded COMMAND update_fuzz -max_total_time=${FUZZ_SECONDS} -print_final_stats=1
    -timeout=120 ${FUZZ_ARTIFACTS} ${FUZZ_CORPUS} ${FUZZ_SEEDS})
set_tests_properties(fuzz_bounded PROPERTIES TIMEOUT 300)
