# What `cmake --install` puts under the prefix (GNUInstallDirs layout): the
# shared library with its SONAME link and development link, the public
# header, the command-line tool with its man page and bash completion, the
# CMake package (find_package(vesk CONFIG) -> vesk::vesk) and vesk.pc.  The
# tests, benchmarks and writer tools are never installed.  Where vesk is the
# top-level project, `cpack -G DEB` packs the same files as a Debian package.
include(CMakePackageConfigHelpers)

set(VESK_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vesk CACHE STRING
    "Where the CMake package files go, relative to the prefix")
set(VESK_BASH_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions CACHE STRING
    "Where the bash completion script goes, relative to the prefix")

install(TARGETS vesk EXPORT vesk-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vesk.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(TARGETS vesk-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/cli/vesk.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/cli/vesk.bash-completion DESTINATION ${VESK_BASH_COMPLETION_DIR}
        RENAME vesk)

install(EXPORT vesk-targets NAMESPACE vesk:: DESTINATION ${VESK_CMAKE_INSTALL_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vesk-config.cmake.in
  ${PROJECT_BINARY_DIR}/vesk-config.cmake
  INSTALL_DESTINATION ${VESK_CMAKE_INSTALL_DIR})
# The major version is the SONAME's: a 1.x caller works with any 1.y.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vesk-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vesk-config.cmake ${PROJECT_BINARY_DIR}/vesk-config-version.cmake
        DESTINATION ${VESK_CMAKE_INSTALL_DIR})

# vesk.pc finds its prefix from its own folder, so that the installed tree
# can be moved (or unpacked from the Debian package anywhere) and still work.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "vesk.pc: CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR must be relative")
endif()
file(RELATIVE_PATH VESK_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VESK_PC_TO_PREFIX "${VESK_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vesk.pc.in ${PROJECT_BINARY_DIR}/vesk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vesk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_PACKAGE_NAME vesk)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read Windows NT event logs (.evt) as fully formatted rows")
  set(CPACK_PACKAGE_DESCRIPTION
      "vesk reads classic Windows NT event logs, on a live Windows computer or\n"
      "from the files of a Windows system drive image, and turns each record\n"
      "into a row of eight values with its message formatted from the source's\n"
      "message files.  The package holds the shared library, its header, CMake\n"
      "and pkg-config files, the command-line tool and the Python module.")
  string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
  set(VESK_PACKAGE_CONTACT "vesk developers <vesk@example.org>" CACHE STRING
      "The Debian package's maintainer")
  set(CPACK_PACKAGE_CONTACT ${VESK_PACKAGE_CONTACT})
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # dpkg-shlibdeps (dpkg-dev) finds the libraries' packages, libhivex0
  # among them; without it libhivex0 is named here.
  find_program(VESK_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(VESK_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(VESK_PACKAGE_DEPENDS)
  else()
    set(VESK_PACKAGE_DEPENDS "libhivex0")
  endif()
  if(VESK_PYTHON_PACKAGE_DEPENDS)
    list(APPEND VESK_PACKAGE_DEPENDS ${VESK_PYTHON_PACKAGE_DEPENDS})
  endif()
  string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS ${VESK_PACKAGE_DEPENDS})
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  include(CPack)
endif()
