# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (POSIX threads),
# and runs what it builds (the demo image's builder, the tests) under Wine:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in: the .exe files run as they are.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Debian's wine64 keeps its loader out of PATH. Wine runs in a prefix of its
# own in the build tree, quietly.
find_program(DISCSHELL_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine)
if(DISCSHELL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all ${DISCSHELL_WINE})
endif()
