# Run by CPack before it makes the Debian package: moves the Python package
# from lib/pythonX.Y/dist-packages to lib/python3/dist-packages, where
# Debian's interpreter looks. Both lie three folders below lib/, so the
# module's relative run path still reaches lib/ and its libveltor.
file(GLOB_RECURSE inits "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/__init__.py")
list(FILTER inits INCLUDE REGEX "/dist-packages/veltor/__init__\\.py$")
foreach(init ${inits})
  get_filename_component(package ${init} DIRECTORY)
  get_filename_component(site ${package} DIRECTORY)
  get_filename_component(pythondir ${site} DIRECTORY)
  get_filename_component(libdir ${pythondir} DIRECTORY)
  get_filename_component(pythonname ${pythondir} NAME)
  if(NOT pythonname STREQUAL "python3")
    file(MAKE_DIRECTORY ${libdir}/python3/dist-packages)
    file(RENAME ${package} ${libdir}/python3/dist-packages/veltor)
    file(REMOVE_RECURSE ${pythondir})
  endif()
endforeach()
