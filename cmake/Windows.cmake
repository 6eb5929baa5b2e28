# Windows (mingw-w64) build settings, included by the top-level CMakeLists.
#
# Runtime: every module (veltor.dll and each program using it) links GCC's
# runtime as DLLs (libgcc_s_dw2-1.dll, libstdc++-6.dll, libwinpthread-1.dll).
# With the runtime linked statically into each module, an exception thrown in
# a host's code (say its HandleUnsolicited override) is not caught inside
# veltor.dll on 32-bit mingw: each module then has its own unwinder and the
# process terminates. So no -static-libgcc or -static-libstdc++ here.
#
# Layout: veltor.dll, the programs and the runtime DLLs go to bin/, the
# import library veltor.dll.a to lib/, so that bin/ runs as it is (Windows
# finds DLLs beside the program, and so does Wine).

option(VELTOR_WINDOWS_TESTS "Build the Windows test programs (run under Wine)" ON)

set(VELTOR_WIN_BIN ${CMAKE_BINARY_DIR}/bin)
set(VELTOR_WIN_LIB ${CMAKE_BINARY_DIR}/lib)

add_link_options(-shared-libgcc)

set_target_properties(veltor PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${VELTOR_WIN_BIN}
  ARCHIVE_OUTPUT_DIRECTORY ${VELTOR_WIN_LIB}
  LIBRARY_OUTPUT_DIRECTORY ${VELTOR_WIN_BIN})
target_link_options(veltor PRIVATE -shared-libgcc)

# The runtime DLLs the toolchain links against, found through the compiler so
# that the posix or win32 thread-model variant in use is the one shipped.
set(VELTOR_RUNTIME_DLLS)
foreach(dll libgcc_s_dw2-1.dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE dll_path
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${dll_path}" AND EXISTS "${dll_path}")
    list(APPEND VELTOR_RUNTIME_DLLS "${dll_path}")
  elseif(dll STREQUAL "libwinpthread-1.dll" AND EXISTS "${CMAKE_FIND_ROOT_PATH}/lib/${dll}")
    list(APPEND VELTOR_RUNTIME_DLLS "${CMAKE_FIND_ROOT_PATH}/lib/${dll}")
  endif()
endforeach()
message(STATUS "Windows runtime DLLs shipped beside veltor.dll: ${VELTOR_RUNTIME_DLLS}")

add_custom_command(TARGET veltor POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VELTOR_WIN_BIN}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VELTOR_RUNTIME_DLLS} ${VELTOR_WIN_BIN}
  VERBATIM)

if(NOT VELTOR_WINDOWS_TESTS)
  return()
endif()

# The host program the Wine harness (tests/wine, built natively) drives.
add_executable(wine_client ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine_client.cpp)
target_link_libraries(wine_client PRIVATE veltor)
target_compile_options(wine_client PRIVATE ${VELTOR_WARNINGS})
set_target_properties(wine_client PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VELTOR_WIN_BIN})

# The unit tests (pure code, veltor_static) as a Windows program, on a
# googletest built from Debian's source package with the same toolchain.
file(GLOB VELTOR_WIN_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../tests/unit/*.cpp)
set(VELTOR_GTEST_SOURCE /usr/src/googletest CACHE PATH "googletest sources for the Windows build")
if(VELTOR_WIN_UNIT_TESTS AND EXISTS ${VELTOR_GTEST_SOURCE}/CMakeLists.txt)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VELTOR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_executable(veltor_unit_tests_win ${VELTOR_WIN_UNIT_TESTS})
  target_link_libraries(veltor_unit_tests_win PRIVATE veltor_static gtest gtest_main)
  target_compile_options(veltor_unit_tests_win PRIVATE ${VELTOR_WARNINGS})
  set_target_properties(veltor_unit_tests_win PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VELTOR_WIN_BIN})
endif()
