# The real program: a 32-bit GUI executable with no C runtime, whose only
# resource is the message catalogue (messages/strings.rc). The same sources also build for x86-64
# (the windows-x64 preset): a twin that is never shipped, run where the
# 32-bit exe cannot be, and proof that the sources do not depend on width.
enable_language(RC)

# Entry points as the compiler names them: i686's stdcall decorates them,
# x86-64 has one calling convention and no decoration.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(UPDATE_ENTRY _UpdateStart@0)
    set(FLOOR_ENTRY _FloorStart@0)
else()
    set(UPDATE_ENTRY UpdateStart)
    set(FLOOR_ENTRY FloorStart)
endif()

add_executable(CorvandelUpdate WIN32
    ${PROGRAM_SOURCES}
    platform/win32/start.cpp
    platform/win32/version_library.cpp
    messages/strings.rc)
target_include_directories(CorvandelUpdate PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/messages)
target_compile_options(CorvandelUpdate PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${STRICT_WARNINGS} -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    # No C runtime to call, so the compiler must not turn loops into strlen or memset.
    -fno-stack-protector -fno-tree-loop-distribute-patterns -fno-ident -ffunction-sections -fdata-sections
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>)
# Own entry point, nothing of the C runtime, no link timestamp: the same
# sources always give the same bytes.
target_link_options(CorvandelUpdate PRIVATE
    -nostdlib -nostartfiles -s
    -Wl,--entry,${UPDATE_ENTRY} -Wl,--subsystem,windows -Wl,--gc-sections -Wl,--no-insert-timestamp)
# Only known DLLs: VERSION is loaded at run time from the system folder.
target_link_libraries(CorvandelUpdate PRIVATE kernel32 user32 advapi32 gcc)

# A release is built with the exe alone (CORVANDEL_EXE_ONLY), in a root that
# holds the toolchain and nothing the tests and tools need.
option(CORVANDEL_EXE_ONLY "Build CorvandelUpdate.exe alone, without its tests, tools and benchmark" OFF)
if(CORVANDEL_EXE_ONLY)
    return()
endif()

enable_testing()
add_subdirectory(tools)
add_subdirectory(tests/wine)

# The run-cost benchmark (scripts/bench-run): the floor program, built like the
# exe with its own entry point and the same string table, and the timer.
add_executable(bench_floor WIN32 bench/floor.cpp messages/strings.rc)
target_include_directories(bench_floor PRIVATE ${PROJECT_SOURCE_DIR}/messages)
target_compile_options(bench_floor PRIVATE ${STRICT_WARNINGS} -Os -fno-exceptions -fno-rtti)
target_link_options(bench_floor PRIVATE -nostdlib -nostartfiles -s -Wl,--entry,${FLOOR_ENTRY} -Wl,--subsystem,windows)
target_link_libraries(bench_floor PRIVATE kernel32 user32)
add_executable(bench_timer bench/run_timer.cpp)
target_include_directories(bench_timer PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(bench_timer PRIVATE -Wall -Wextra -Werror -O2)
target_link_options(bench_timer PRIVATE -static)
target_link_libraries(bench_timer PRIVATE advapi32)
