# What the two MinGW-w64 toolchain files share; each sets MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first. Debian's compilers of the posix thread model:
# GCC 12's win32 model has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Libraries built for the target (libjpeg-turbo) are installed under
# WINDOWS_DEPS_PREFIX, given on the command line; MinGW's own files are below
# /usr/TRIPLET. try_compile projects need the prefix too.
set(WINDOWS_DEPS_PREFIX "" CACHE PATH "Prefix of the libraries built for ${MINGW_TRIPLET}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WINDOWS_DEPS_PREFIX)
set(CMAKE_FIND_ROOT_PATH ${WINDOWS_DEPS_PREFIX} /usr/${MINGW_TRIPLET})
# Headers, libraries and CMake packages of the host are Linux ones: never
# take them. GoogleTest is then built from its sources by the tests' fallback.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Build tools (nasm, groff) are the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# ...except valgrind, which the tests would run Windows programs under.
set(VALGRIND_PROGRAM "" CACHE FILEPATH "valgrind cannot run Windows programs")

# A user has none of the compiler's DLLs (libstdc++, libgcc, winpthread):
# every program carries what it needs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Test programs run under an emulator (Wine): list their tests when ctest runs
# them, not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
