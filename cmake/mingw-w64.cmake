# What both MinGW-w64 toolchain files share; each sets NETVANE_MINGW_PREFIX
# (the compilers' target triplet) and CMAKE_SYSTEM_PROCESSOR, then includes this.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${NETVANE_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${NETVANE_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${NETVANE_MINGW_PREFIX}-windres)

# Without a build type, build what ships: optimised and stripped.
set(CMAKE_BUILD_TYPE_INIT Release)

# Libraries and headers come from the MinGW sysroot only, never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${NETVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
