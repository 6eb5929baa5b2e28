#!/usr/bin/env bash
# The Windows build and its tests under Wine.
#
#  1. Installs the mingw-w64 toolchain (posix thread model) and Wine (32-bit)
#     when they are missing.
#  2. Builds the native harness of the end-to-end tests in build/ (the
#     default preset), which serves the simulated instrument on a
#     pseudo-terminal to a Windows program over a Wine COM port.
#  3. Cross-builds veltor.dll, its import library and the Windows test
#     programs into build-win32/ (the windows preset; warnings are errors).
#  4. Runs the windows preset's tests with ctest (results in
#     build-win32/junit.xml): the DLL's exports and runtime, the zip package,
#     the unit tests through the toolchain's emulator (wine) in a fresh Wine
#     prefix, and the end-to-end tests.
# Exits non-zero on any failure.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
win="$root/build-win32"
triple=i686-w64-mingw32


# ---- 1. Toolchain and Wine ----------------------------------------------------
install_missing() {
  local missing=()
  command -v "$triple-g++-posix" >/dev/null 2>&1 || missing+=(g++-mingw-w64-i686-posix)
  command -v wine >/dev/null 2>&1 || missing+=(wine wine64)
  dpkg -s wine32:i386 >/dev/null 2>&1 || missing+=(wine32:i386)
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
  dpkg -s libgtest-dev >/dev/null 2>&1 || missing+=(libgtest-dev)
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "windows: installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 || return 1
  fi
  $sudo apt-get update -qq || return 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null || return 1
}
if ! install_missing; then
  echo "windows: installing the toolchain and Wine failed"
  exit 1
fi

# ---- 2. to 4. ---------------------------------------------------------------------
cd "$root"
if ! { cmake --preset default && cmake --build --preset default --target veltor_wine_tests; } \
  >"$root/build-wine-harness.log" 2>&1; then
  tail -n 40 "$root/build-wine-harness.log"
  echo "windows: the native harness did not build"
  exit 1
fi
if ! { cmake --preset windows && cmake --build --preset windows; } >"$win.log" 2>&1; then
  tail -n 60 "$win.log"
  echo "windows: the cross build failed"
  exit 1
fi
rm -f "$win/junit.xml"
ctest --preset windows 2>&1 | grep -vE '^\s*$' | tail -n 40
exit "${PIPESTATUS[0]}"
