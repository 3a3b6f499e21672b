# Cross-compiles for 64-bit Windows: the x86-64 twin of the program, its tests
# and tools. Never shipped.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
