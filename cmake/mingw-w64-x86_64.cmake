# Cross-compile 64-bit Windows binaries with MinGW-w64 (POSIX thread model) and run
# them under Wine, so ctest can execute the Windows test programs on Linux.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# The 64-bit loader itself where the distribution keeps it off PATH (Debian): its `wine`
# starts the 32-bit loader first once wine32 is installed, which costs each test program
# a fifth of a second before it hands over.
find_program(WINE_PROGRAM NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
