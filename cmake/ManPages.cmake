# Manual pages of veltor, veltor-sim and (when built) veltor-tango, made at
# build time by help2man from their --help (with the text of
# cmake/debian/NAME.h2m added) and installed gzipped under share/man/man1,
# veltor-tango's with its own package. Only a native, uninstrumented build can run
# the programs for it; without help2man the pages are left out.
if(CMAKE_CROSSCOMPILING OR VELTOR_INSTRUMENTED OR NOT TARGET veltor-tool
   OR NOT TARGET veltor-sim)
  return()
endif()
find_program(VELTOR_HELP2MAN help2man)
if(NOT VELTOR_HELP2MAN)
  message(STATUS "veltor manual pages: skipped (help2man not found; scripts/setup.sh installs it)")
  return()
endif()

set(VELTOR_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(VELTOR_MAN_PAGES "")
set(VELTOR_MAN_TARGETS veltor-tool veltor-sim)
if(TARGET veltor-tango)
  list(APPEND VELTOR_MAN_TARGETS veltor-tango)
endif()
foreach(target ${VELTOR_MAN_TARGETS})
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(include ${CMAKE_CURRENT_LIST_DIR}/debian/${name}.h2m)
  set(page ${VELTOR_MAN_DIR}/${name}.1)
  # help2man names the page after the file it runs and writes its name,
  # not its path, into the synopsis. veltor-sim prints its help on stderr.
  # gzip -n keeps the build time out of the file, as Debian wants. Ninja
  # makes an output's folder itself and Make does not: the command makes it.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VELTOR_MAN_DIR}
    COMMAND ${VELTOR_HELP2MAN} --no-info --no-discard-stderr
      --version-string=${PROJECT_VERSION} --include=${include} --output=${page}
      $<TARGET_FILE:${target}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${target} ${include}
    COMMENT "Writing the manual page of ${name}"
    VERBATIM)
  if(target STREQUAL "veltor-tango")
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tango)
  else()
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  list(APPEND VELTOR_MAN_PAGES ${page}.gz)
endforeach()
add_custom_target(veltor_man_pages ALL DEPENDS ${VELTOR_MAN_PAGES})
