# Tests of the Windows (cross) build, run by ctest in that build:
#  - the DLL's exports and the runtime it ships with;
#  - the unit tests as a Windows program, through the emulator (wine);
#  - the end-to-end tests: the native harness (VELTOR_WINE_HARNESS, built in a
#    native tree) drives wine_client.exe against the simulated instrument.
# All share one Wine prefix in the build tree, made fresh by a fixture.
set(VELTOR_WINE_HARNESS "" CACHE FILEPATH
  "The natively built tests/wine/veltor_wine_tests that drives wine_client.exe")

set(VELTOR_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(VELTOR_WINE_ENV
  WINEPREFIX=${VELTOR_WINE_PREFIX} WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=")

add_test(NAME Windows.WinePrefix COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh start)
add_test(NAME Windows.WineServerStop COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh stop)
set_tests_properties(Windows.WinePrefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(Windows.WineServerStop PROPERTIES FIXTURES_CLEANUP wine)
set_tests_properties(Windows.WinePrefix Windows.WineServerStop PROPERTIES
  ENVIRONMENT "${VELTOR_WINE_ENV}")

add_test(NAME Windows.Dll
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/wine/check_dll.sh ${VELTOR_MINGW_OBJDUMP}
  $<TARGET_FILE:veltor> $<TARGET_LINKER_FILE:veltor> ${PROJECT_SOURCE_DIR}/include/veltor)

set_tests_properties(${VELTOR_UNIT_TEST_NAMES} PROPERTIES
  ENVIRONMENT "${VELTOR_WINE_ENV}" FIXTURES_REQUIRED wine TIMEOUT 120)

if(VELTOR_WINE_HARNESS)
  # One process for all cases: they share the Wine server.
  add_test(NAME Windows.EndToEnd COMMAND ${VELTOR_WINE_HARNESS})
  set_tests_properties(Windows.EndToEnd PROPERTIES
    ENVIRONMENT "${VELTOR_WINE_ENV};VELTOR_WINE_CLIENT=$<TARGET_FILE:wine_client>"
    FIXTURES_REQUIRED wine TIMEOUT 900 RUN_SERIAL ON)
else()
  message(STATUS "veltor Windows end-to-end tests: skipped (set VELTOR_WINE_HARNESS)")
endif()

add_test(NAME Windows.Package COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/package/zip.sh ${CMAKE_BINARY_DIR})
