# Cross-compiles the same sources for 64-bit Windows with Debian's mingw-w64
# (x86_64), for hosts that cannot execute 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZORVANE_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
