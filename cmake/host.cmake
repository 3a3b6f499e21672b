# The same update and checks, natively, against the simulated platform.
find_package(GTest REQUIRED)
include(GoogleTest)
enable_testing()

option(CORVANDEL_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(CORVANDEL_FUZZ "Build the libFuzzer target (clang only)" OFF)
if(CORVANDEL_SANITIZE)
    # vptr checks need RTTI, which the program does without.
    set(SANITIZERS -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${SANITIZERS})
    add_link_options(${SANITIZERS})
endif()

add_library(simulated_platform STATIC platform/simulated/sim_platform.cpp messages/string_table.cpp)
target_include_directories(simulated_platform PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(simulated_platform PRIVATE ${STRICT_WARNINGS})

add_library(update_core STATIC ${PROGRAM_SOURCES})
target_link_libraries(update_core PUBLIC simulated_platform)
target_compile_options(update_core PRIVATE ${STRICT_WARNINGS} -fno-exceptions -fno-rtti)

add_executable(unit_tests
    tests/host/update_run_test.cpp
    tests/host/checks_test.cpp
    tests/host/text_test.cpp)
target_link_libraries(unit_tests PRIVATE update_core GTest::gtest_main)
target_compile_options(unit_tests PRIVATE -Wall -Wextra -Werror)
# Listing the tests takes well under a second: the limit is a hang guard for a loaded machine.
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 600)

if(CORVANDEL_FUZZ)
    include(${PROJECT_SOURCE_DIR}/fuzz/fuzz.cmake)
endif()
