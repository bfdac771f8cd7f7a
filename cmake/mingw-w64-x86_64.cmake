# Cross-compile 64-bit Windows binaries with MinGW-w64 (POSIX thread model) and run
# them under Wine, so ctest can execute the Windows test programs on Linux.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The 64-bit loader itself where the distribution keeps it off PATH (Debian): its `wine`
# starts the 32-bit loader first once wine32 is installed, which costs each test program
# a fifth of a second before it hands over.
find_program(WINE_PROGRAM NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
