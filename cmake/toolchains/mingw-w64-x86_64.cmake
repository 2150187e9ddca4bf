# Debian mingw-w64 x86_64: see mingw-w64.cmake.
set(MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
