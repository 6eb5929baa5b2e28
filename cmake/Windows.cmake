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

set(VELTOR_WIN_BIN ${CMAKE_BINARY_DIR}/bin)
set(VELTOR_WIN_LIB ${CMAKE_BINARY_DIR}/lib)

add_link_options(-shared-libgcc)

set_target_properties(veltor PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${VELTOR_WIN_BIN}
  ARCHIVE_OUTPUT_DIRECTORY ${VELTOR_WIN_LIB}
  LIBRARY_OUTPUT_DIRECTORY ${VELTOR_WIN_BIN})
target_link_options(veltor PRIVATE -shared-libgcc)

# Network ports (socket://, rfc2217://) use Winsock.
target_link_libraries(veltor PRIVATE ws2_32)
target_link_libraries(veltor_static PUBLIC ws2_32)

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

# The host program the Wine harness (tests/wine, built natively) drives; the
# tests themselves are registered in tests/.
if(NOT VELTOR_BUILD_TESTS)
  return()
endif()
add_executable(wine_client ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine_client.cpp)
target_link_libraries(wine_client PRIVATE veltor)
target_compile_options(wine_client PRIVATE ${VELTOR_WARNINGS})
set_target_properties(wine_client PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VELTOR_WIN_BIN})

# ---- The C interface under Windows -------------------------------------------
# wine_c_client.exe: a host program written in C against veltor.dll's C
# interface, beside wine_client.exe (WineTests.cpp drives it, WineCTest), and
# a check that the DLL exports every function of veltor/veltor_c.h under its
# plain C name (no _name, no name@N: __cdecl).
enable_language(C)
add_executable(wine_c_client ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine_c_client.c)
set_target_properties(wine_c_client PROPERTIES
  C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF
  RUNTIME_OUTPUT_DIRECTORY ${VELTOR_WIN_BIN})
target_link_libraries(wine_c_client PRIVATE veltor)
target_compile_options(wine_c_client PRIVATE ${VELTOR_WARNINGS})
if(VELTOR_MINGW_OBJDUMP)
  add_test(NAME Windows.CExports COMMAND sh -c [=[
    exports="$("$0" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,$p')" || exit 1
    missing=0
    for name in $(grep -oE '\bveltor_[a-z_]+\(' "$2" | tr -d '(' | sort -u); do
      printf '%s\n' "$exports" | grep -qE "\] $name\$" || { echo "not exported as $name"; missing=1; }
    done
    exit $missing]=] ${VELTOR_MINGW_OBJDUMP} $<TARGET_FILE:veltor>
    ${PROJECT_SOURCE_DIR}/include/veltor/veltor_c.h)
endif()
# ---- End of the C interface under Windows ------------------------------------
