# Release archives of the Windows builds: `cpack -G ZIP` in a MinGW build
# folder (tests/windows/build_release.sh makes all of them).
#
#   veldrv-<version>-win64.zip   64-bit build, one folder:
#     veldrv.dll  libveldrv.dll.a  veldrv.def  velcon.exe  velctl.exe
#     veldrv.h  README.md  LICENSE
#   veldrv-<version>-win32.zip   both 32-bit builds, one folder each:
#     cdecl/    veldrv.dll  libveldrv.dll.a  veldrv.def  velcon.exe  velctl.exe
#     stdcall/  the same, built with VELDRV_STDCALL
#     veldrv.h  README.md  LICENSE
#
# The 32-bit archive is made in the cdecl build folder, configured with
# VELDRV_ZIP_STDCALL_BUILD naming the stdcall build folder: CPack then
# installs the files of both. Without it the archive holds the one build and
# is called veldrv-<version>-win32-cdecl.zip (or -win32-stdcall.zip).
# The programs sit beside the DLL they were linked against, which Windows
# loads from the program's own folder. Only the component "release" goes
# into the archives, not the CMake and pkg-config files of the install tree;
# a plain `cmake --install` leaves that component out (EXCLUDE_FROM_ALL).
# Included from the top-level CMakeLists.txt after all targets are defined.

set(VELDRV_ZIP_STDCALL_BUILD "" CACHE PATH
  "32-bit cdecl build: the VELDRV_STDCALL build folder whose files join the win32 archive")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(veldrv_zip_dir .)
  set(veldrv_zip_system win64)
elseif(VELDRV_STDCALL)
  set(veldrv_zip_dir stdcall)
  set(veldrv_zip_system win32-stdcall)
else()
  set(veldrv_zip_dir cdecl)
  set(veldrv_zip_system win32-cdecl)
endif()

set(veldrv_zip_programs velcon)
if(TARGET velctl)
  list(APPEND veldrv_zip_programs velctl)
endif()
# The DLL and its import library; stripped by CPack (CPACK_STRIP_FILES).
install(TARGETS veldrv ${veldrv_zip_programs}
  RUNTIME DESTINATION ${veldrv_zip_dir} COMPONENT release EXCLUDE_FROM_ALL
  ARCHIVE DESTINATION ${veldrv_zip_dir} COMPONENT release EXCLUDE_FROM_ALL)
if(VELDRV_STDCALL)
  set(veldrv_zip_def ${PROJECT_SOURCE_DIR}/lib/api/veldrv_stdcall.def)
else()
  set(veldrv_zip_def ${PROJECT_SOURCE_DIR}/lib/api/veldrv.def)
endif()
install(FILES ${veldrv_zip_def} DESTINATION ${veldrv_zip_dir} RENAME veldrv.def
  COMPONENT release EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/lib/api/veldrv.h ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION . COMPONENT release EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME veldrv)
set(CPACK_PACKAGE_VENDOR "The VELDRV authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};veldrv;release;/")
if(VELDRV_ZIP_STDCALL_BUILD)
  if(NOT veldrv_zip_system STREQUAL "win32-cdecl")
    message(FATAL_ERROR "VELDRV_ZIP_STDCALL_BUILD belongs to the 32-bit cdecl build folder")
  endif()
  if(NOT EXISTS ${VELDRV_ZIP_STDCALL_BUILD}/CMakeCache.txt)
    message(FATAL_ERROR "VELDRV_ZIP_STDCALL_BUILD=${VELDRV_ZIP_STDCALL_BUILD} is no build folder")
  endif()
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${VELDRV_ZIP_STDCALL_BUILD};veldrv;release;/")
  set(veldrv_zip_system win32)
endif()
set(CPACK_PACKAGE_FILE_NAME "veldrv-${PROJECT_VERSION}-${veldrv_zip_system}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/release)
include(CPack)
