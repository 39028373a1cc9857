# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (x86_64) and runs
# the target's programs under Wine (see tools/in-wine).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZORVANE_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORVANE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORVANE_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORVANE_TRIPLE}-windres)
set(CMAKE_AR ${ZORVANE_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZORVANE_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZORVANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
