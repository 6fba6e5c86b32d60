# Install rules: `cmake --install build --prefix P` gives
#   P/include/veldrv.h
#   P/lib/libveldrv.so -> libveldrv.so.1 -> libveldrv.so.1.0.0
#     (Windows: P/bin/veldrv.dll and the import library P/lib/libveldrv.dll.a)
#   P/bin/velcon, P/bin/velsim, P/bin/velctl (when they are built)
#   P/share/man/man1/velcon.1.gz ..., P/share/man/man3/veldrv.3.gz (not on Windows)
#   P/lib/pkgconfig/veldrv.pc (prefix=P, written when installing)
#   P/lib/cmake/veldrv/: find_package(veldrv) with the target veldrv::veldrv
#   P/share/doc/veldrv/copyright (the licence)
# With the prefix /usr on Debian, GNUInstallDirs makes lib lib/<multiarch>
# (lib/x86_64-linux-gnu): the layout of the Debian packages (debian/).
# Included from the top-level CMakeLists.txt after all targets are defined.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELDRV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/veldrv)
set(VELDRV_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(VELDRV_PACKAGE_BINARY_DIR ${PROJECT_BINARY_DIR}/package)

install(TARGETS veldrv
  EXPORT veldrvTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/lib/api/veldrv.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The programs find the installed library next door (P/bin/../lib), unless
# it goes to a folder the loader searches anyway (/usr/lib/x86_64-linux-gnu
# for the Debian packages): a system program carries no search path.
file(RELATIVE_PATH veldrv_bin_to_lib
  /veldrv_root/${CMAKE_INSTALL_BINDIR} /veldrv_root/${CMAKE_INSTALL_LIBDIR})
set(veldrv_system_libdir FALSE)
if(CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES OR
   CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set(veldrv_system_libdir TRUE)
endif()
foreach(program velcon velsim velctl velgw)
  if(TARGET ${program})
    if(NOT WIN32 AND NOT APPLE AND NOT veldrv_system_libdir)
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${veldrv_bin_to_lib}")
    endif()
    if(NOT program STREQUAL "velgw")  # velgw/CMakeLists.txt installs it in its own component
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endif()
endforeach()

# CMake package: find_package(veldrv 1.x) and target_link_libraries(... veldrv::veldrv).
install(EXPORT veldrvTargets NAMESPACE veldrv:: DESTINATION ${VELDRV_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/veldrvConfig.cmake.in
  ${VELDRV_PACKAGE_BINARY_DIR}/veldrvConfig.cmake
  INSTALL_DESTINATION ${VELDRV_CMAKE_DIR})
write_basic_package_version_file(${VELDRV_PACKAGE_BINARY_DIR}/veldrvConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${VELDRV_PACKAGE_BINARY_DIR}/veldrvConfig.cmake
  ${VELDRV_PACKAGE_BINARY_DIR}/veldrvConfigVersion.cmake
  DESTINATION ${VELDRV_CMAKE_DIR})

# pkg-config: the file names the prefix it is installed under, so that
# `pkg-config --cflags --libs veldrv` prints plain paths (and nothing for
# /usr, which the compiler searches anyway). The prefix is only known when
# installing (`cmake --install build --prefix P`), so the file is finished
# then; DESTDIR stages it without changing what it says.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(VELDRV_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(VELDRV_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(VELDRV_PC_PREFIX "@VELDRV_PC_PREFIX@")  # filled in at install time
configure_file(${CMAKE_CURRENT_LIST_DIR}/veldrv.pc.in ${VELDRV_PACKAGE_BINARY_DIR}/veldrv.pc.in @ONLY)
if(IS_ABSOLUTE "${VELDRV_PKGCONFIG_DIR}")
  set(veldrv_pc_destination "${VELDRV_PKGCONFIG_DIR}")
else()
  set(veldrv_pc_destination "\${CMAKE_INSTALL_PREFIX}/${VELDRV_PKGCONFIG_DIR}")
endif()
install(CODE "
  string(REGEX REPLACE \"(.)/+$\" \"\\\\1\" VELDRV_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${VELDRV_PACKAGE_BINARY_DIR}/veldrv.pc.in\" \"${VELDRV_PACKAGE_BINARY_DIR}/install/veldrv.pc\" @ONLY)
  file(INSTALL DESTINATION \"${veldrv_pc_destination}\" TYPE FILE
       FILES \"${VELDRV_PACKAGE_BINARY_DIR}/install/veldrv.pc\")")

# The licence, where Debian keeps a package's (the Debian packages carry
# debian/copyright there instead).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# Manual pages, compressed as Debian keeps them: velcon(1), velsim(1),
# velctl(1), veldrv(3). A page is installed when its source exists.
if(NOT WIN32)
  find_program(VELDRV_GZIP gzip REQUIRED)
  set(veldrv_man_pages)
  foreach(page velcon.1 velsim.1 velctl.1 veldrv.3)
    set(source ${PROJECT_SOURCE_DIR}/man/${page})
    if(NOT EXISTS ${source})
      continue()
    endif()
    set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${VELDRV_GZIP} -9 -n -c ${source} > ${compressed}
      DEPENDS ${source} VERBATIM)
    string(REGEX REPLACE "^.*\\." "" section ${page})
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    list(APPEND veldrv_man_pages ${compressed})
  endforeach()
  add_custom_target(veldrv_man_pages ALL DEPENDS ${veldrv_man_pages})
endif()
