# Cross build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686-posix).
#   cmake -S . -B build-mingw32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# gives a PE32 bin/veldrv.dll, lib/libveldrv.dll.a and the programs; add
# -DVELDRV_STDCALL=ON for the build whose six functions are __stdcall.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VELDRV_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Programs built here run under the 32-bit Wine loader (Debian: wine32:i386)
# in a prefix made with WINEARCH=win32.
find_program(VELDRV_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(VELDRV_WINE NAMES wine)
if(VELDRV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDRV_WINE})
endif()
