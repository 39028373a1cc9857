# What both toolchain files share: Debian's mingw-w64 (the -posix variants,
# whose C++ library has std::mutex for GoogleTest) for ZORVANE_TRIPLE. The
# target's programs run under Wine (see tools/in-wine).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZORVANE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORVANE_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORVANE_TRIPLE}-windres)
set(CMAKE_AR ${ZORVANE_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZORVANE_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZORVANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
