# Debian mingw-w64 i686: see mingw-w64.cmake.
set(MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
