# Cross build for Windows with mingw-w64 (Debian's g++-mingw-w64-*).  The
# toolchain files of each target set TOOLCHAIN_PREFIX and CMAKE_SYSTEM_PROCESSOR,
# then include this one.
set(CMAKE_SYSTEM_NAME Windows)
# The posix thread model gives the C++ runtime its threading primitives; it is
# linked statically like everything else.
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The runner picks 32-bit Wine or wine64 from the program's own header.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh)
