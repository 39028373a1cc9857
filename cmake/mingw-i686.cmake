# Cross-compiles for 32-bit Windows, the shipped program, with Debian's
# mingw-w64 (i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZORVANE_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
