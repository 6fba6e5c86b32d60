# Cross build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686-posix).
#   cmake -S . -B build-mingw32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# gives a PE32 bin/veldrv.dll, lib/libveldrv.dll.a and the programs; add
# -DVELDRV_STDCALL=ON for the build whose six functions are __stdcall.
# As in the 64-bit build, the C++ runtime and winpthread are linked
# statically: the DLL and the programs need no runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VELDRV_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VELDRV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDRV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELDRV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELDRV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run under the 32-bit Wine loader (Debian: wine32:i386)
# in a prefix made with WINEARCH=win32.
find_program(VELDRV_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(VELDRV_WINE NAMES wine)
if(VELDRV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDRV_WINE})
endif()
