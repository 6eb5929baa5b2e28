# Packages made with CPack from an install of the build tree:
#   Linux:   a Debian package (cpack -G DEB), installed under /usr;
#   Windows: a zip of veltor.dll, its import library, the runtime DLLs and
#            the headers (cpack -G ZIP).
set(CPACK_PACKAGE_NAME veltor)
set(CPACK_PACKAGE_VENDOR "veltor")
set(CPACK_PACKAGE_CONTACT "veltor developers <veltor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Host SDK for the Veltor eight-channel delay and pulse generator")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  install(FILES ${VELTOR_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The library libveltor (C++ classes and a flat C interface) talks to the\n"
    "instrument over a serial line or a serial device server, checks every\n"
    "time against the instrument's ranges and compiles channel logic. The\n"
    "package also holds the veltor command-line tool with its JSON setup\n"
    "files, the simulated instrument veltor-sim, and the Python package\n"
    "veltor for the system's python3.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  # The programs and libraries are built with debugging information
  # (RelWithDebInfo); the package ships them stripped.
  set(CPACK_STRIP_FILES ON)

  # The package's changelog names its version: the project's version and a
  # Debian revision, which is taken from it. A project version without its
  # entry there is reported here and fails the package's test.
  set(VELTOR_DEBIAN_CHANGELOG ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VELTOR_DEBIAN_CHANGELOG})
  file(STRINGS ${VELTOR_DEBIAN_CHANGELOG} entry LIMIT_COUNT 1)
  if(NOT entry MATCHES "^veltor \\(([^)]+)-([^)-]+)\\) ")
    message(FATAL_ERROR "${VELTOR_DEBIAN_CHANGELOG}: the first line is no entry of veltor: ${entry}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(WARNING "${VELTOR_DEBIAN_CHANGELOG} begins with version ${CMAKE_MATCH_1}, "
      "the project is at ${PROJECT_VERSION}: add an entry for it")
  endif()

  # /usr/share/doc/veltor: the copyright file and the changelog, compressed
  # as Debian's tools do (-9, and -n for no name or time in the file).
  set(gzipped ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
  add_custom_command(OUTPUT ${gzipped}
    COMMAND ${CMAKE_COMMAND} -E copy ${VELTOR_DEBIAN_CHANGELOG} ${CMAKE_BINARY_DIR}/debian/changelog.Debian
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/changelog.Debian
    DEPENDS ${VELTOR_DEBIAN_CHANGELOG}
    VERBATIM)
  add_custom_target(veltor_changelog ALL DEPENDS ${gzipped})
  install(FILES ${gzipped} ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  include(${CMAKE_CURRENT_LIST_DIR}/ManPages.cmake)

  # The Python package is usable only with the interpreter it was built for.
  if(VELTOR_PYTHON_VERSION)
    set(CPACK_DEBIAN_MAIN_PACKAGE_RECOMMENDS
      "python3 (>= ${VELTOR_PYTHON_VERSION}), python3 (<< ${VELTOR_PYTHON_VERSION}.99)")
  endif()

  # Two packages: veltor (every component but the Tango server's) and, when
  # it is built, veltor-tango, so that the SDK never depends on Tango.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
  set(CPACK_DEBIAN_MAIN_PACKAGE_NAME veltor)
  set(CPACK_DEBIAN_MAIN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_TANGO_PACKAGE_NAME veltor-tango)
  set(CPACK_DEBIAN_TANGO_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_TANGO_PACKAGE_SECTION science)
  # The Tango libraries come from shlibdeps; libveltor, which the server
  # needs from the other package, is found in the build tree.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
  set(CPACK_DEBIAN_TANGO_PACKAGE_DEPENDS
    "veltor (= ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
  # Each package's description follows the one summary line.
  set(CPACK_DEBIAN_MAIN_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  string(CONCAT CPACK_DEBIAN_TANGO_DESCRIPTION
    "veltor-tango, the Tango Controls device server, serves each instrument\n"
    "as one Tango device: each channel's timing mode, times, logic and delay\n"
    "reports as attributes (the reports also as change events), and the\n"
    "setup files and the instrument's commands as commands.")
  # Debian's python3 reads packages from /usr/lib/python3/dist-packages, not
  # from the versioned folder a plain install under /usr would use.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianPython.cmake)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
endif()
include(CPack)

if(NOT WIN32)
  get_cmake_property(veltor_components COMPONENTS)
  foreach(component ${veltor_components})
    if(NOT component STREQUAL "tango")
      cpack_add_component(${component} GROUP main)
    endif()
  endforeach()
  cpack_add_component_group(main)
endif()
