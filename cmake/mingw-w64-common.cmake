# What both MinGW-w64 toolchain files share; they set VELDRV_MINGW_PREFIX
# (x86_64-w64-mingw32 or i686-w64-mingw32) first. The posix thread model
# provides std::mutex; the C++ runtime and winpthread are linked statically,
# so the DLL and the programs need no runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VELDRV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDRV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELDRV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELDRV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static makes every -l pick its archive (winpthread included); the system
# DLLs' import libraries stay what they are.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
