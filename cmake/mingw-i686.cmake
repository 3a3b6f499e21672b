# Cross-compiles for 32-bit Windows: the real program, its tests and tools.
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
