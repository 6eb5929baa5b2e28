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
set(CPACK_STRIP_FILES OFF)

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
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The Python package is usable only with the interpreter it was built for.
  if(VELTOR_PYTHON_VERSION)
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
      "python3 (>= ${VELTOR_PYTHON_VERSION}), python3 (<< ${VELTOR_PYTHON_VERSION}.99)")
  endif()
  # Debian's python3 reads packages from /usr/lib/python3/dist-packages, not
  # from the versioned folder a plain install under /usr would use.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianPython.cmake)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
endif()
include(CPack)
