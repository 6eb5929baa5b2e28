# Cross build for 32-bit Windows with Debian's mingw-w64 toolchain.
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The exported headers use std::atomic and the library starts threads, so the
# posix thread model of the toolchain (winpthreads) is the one we build with.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VELTOR_MINGW_TRIPLE i686-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${VELTOR_MINGW_TRIPLE}-g++-posix ${VELTOR_MINGW_TRIPLE}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${VELTOR_MINGW_TRIPLE}-gcc-posix ${VELTOR_MINGW_TRIPLE}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${VELTOR_MINGW_TRIPLE}-windres)
find_program(VELTOR_MINGW_OBJDUMP NAMES ${VELTOR_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VELTOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Doubles in SSE2 registers, as on x86-64: with the x87 unit's 80-bit
# intermediates a time converted to clock counts can round differently (half
# a count computed as 0.49999...), and the Windows build would send other
# counts than the Linux build for the same times.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

# Test executables are started through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
