# Cross-building for 32-bit Windows with Debian's MinGW-w64; see
# scripts/windows.sh for the whole build.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DWINDOWS_DEPS_PREFIX=DIR ...
set(MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
