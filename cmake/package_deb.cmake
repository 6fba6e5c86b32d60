# Debian package: `cpack -G DEB` in the build tree gives veldrv_<version>_amd64.deb
# with everything `cmake --install` puts under /usr (library, header, pkg-config
# file, CMake package, programs, manual pages) and the licence as
# /usr/share/doc/veldrv/copyright. Dependencies come from dpkg-shlibdeps (dpkg-dev).
# Included from the top-level CMakeLists.txt after cmake/install.cmake (not on Windows).
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

set(CPACK_GENERATOR DEB CACHE STRING "Package formats made by a plain `cpack`")
set(CPACK_PACKAGE_NAME veldrv)
set(CPACK_PACKAGE_VENDOR "The VELDRV authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial link library for FX-series and A-series controllers")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)  # as Debian ships binaries

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The VELDRV authors")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the first line of the description; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A shared library (libveldrv.so.1) with six C functions that let any program
read and write the memory of FX-series and A-series programmable controllers
over a serial port: data registers, inputs, outputs, markers and raw
addresses. With its header, pkg-config file and CMake package; velcon, a
German console test program; velsim, a controller simulator that serves a
pseudo-terminal, a serial device or a TCP port; velctl, a command-line tool
for scripts; and manual pages.")

# Depends: computed from the ELF files. The package's own library is found
# in the staging tree, and a shlibs file makes other packages depend on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader's cache is rebuilt through dpkg's trigger (CPack's postinst and
# postrm call ldconfig as well).
file(WRITE ${PROJECT_BINARY_DIR}/package/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/package/deb/triggers)

include(CPack)
