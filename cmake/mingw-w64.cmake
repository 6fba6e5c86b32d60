# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix).
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# gives bin/veldrv.dll, lib/libveldrv.dll.a (import library) and the programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELDRV_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Programs built here run under Wine on Linux hosts.
find_program(VELDRV_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(VELDRV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDRV_WINE})
endif()
