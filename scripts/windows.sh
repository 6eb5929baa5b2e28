#!/usr/bin/env bash
# The Windows build and its tests under Wine.
#
#  1. Installs the mingw-w64 toolchain (posix thread model) and Wine (32-bit)
#     when they are missing.
#  2. Cross-builds veltor.dll, its import library and the Windows test
#     programs into build-win32/ (warnings are errors; any warning fails).
#  3. Checks the DLL: every exported class has exported symbols, and the
#     GCC runtime is imported as shared DLLs that ship beside it.
#  4. Makes a fresh Wine prefix with wineboot, runs the unit tests as a
#     Windows program, and runs the end-to-end tests: a native harness
#     (built into build-wine-host/) serves the simulated instrument on a
#     pseudo-terminal and drives wine_client.exe over a Wine COM port.
#
# Ends with "windows: N passed, N failed" and exits non-zero on any failure.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
win="$root/build-win32"
host="$root/build-wine-host"
triple=i686-w64-mingw32

passed=0
failed=0
check() {  # name, then the command; counts one check
  local name="$1"
  shift
  if "$@"; then
    echo "ok: $name"
    passed=$((passed + 1))
  else
    echo "FAILED: $name"
    failed=$((failed + 1))
  fi
}
finish() {
  echo "windows: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}

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
  echo "FAILED: installing the toolchain and Wine"
  failed=$((failed + 1))
  finish
fi

# ---- 2. Cross build ---------------------------------------------------------------
cross_build() {
  cmake -S "$root" -B "$win" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DVELTOR_BUILD_TESTS=OFF -DVELTOR_BUILD_EXAMPLES=OFF -DVELTOR_BUILD_BENCH=OFF \
    >"$win.log" 2>&1 &&
    cmake --build "$win" -j "$(nproc)" >>"$win.log" 2>&1
  local rc=$?
  [ $rc -eq 0 ] || tail -n 60 "$win.log"
  return $rc
}
no_warnings() {
  if grep -iE '(^|[^a-z])warning:' "$win.log"; then
    return 1
  fi
}
mkdir -p "$win"
check "cross build of veltor.dll and the Windows test programs" cross_build || true
if [ ! -f "$win/bin/veltor.dll" ]; then
  finish
fi
check "the cross build printed no warnings" no_warnings

# ---- 3. The DLL -------------------------------------------------------------------
exports_cover_classes() {
  local exports missing=0 class
  exports="$("$triple-objdump" -p "$win/bin/veltor.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,$p')"
  # Every exported class (C prefix) must have exported symbols: GCC's
  # decoration holds the class name after its length. The plain records (S
  # prefix) have only inline members and so nothing to export.
  for class in $(grep -hoE 'class VELTOR_API C[A-Za-z0-9_]+' "$root"/include/veltor/*.h |
    awk '{print $3}' | sort -u); do
    if ! grep -qE "\] _Z.*[^0-9]${#class}${class}" <<<"$exports"; then
      echo "  no exported symbol of $class"
      missing=1
    fi
  done
  return $missing
}
shared_runtime() {
  local imports dll
  imports="$("$triple-objdump" -p "$win/bin/veltor.dll" | grep 'DLL Name')"
  for dll in libgcc_s_dw2-1.dll libstdc++-6.dll; do
    grep -q "$dll" <<<"$imports" || { echo "  veltor.dll does not import $dll"; return 1; }
  done
  for dll in libgcc_s_dw2-1.dll libstdc++-6.dll libwinpthread-1.dll; do
    [ -f "$win/bin/$dll" ] || { echo "  $dll is not beside veltor.dll"; return 1; }
  done
  ls "$win"/lib/libveltor.dll.a >/dev/null || return 1
}
check "veltor.dll exports every exported class" exports_cover_classes
check "veltor.dll uses the shared GCC runtime, shipped beside it with its import library" \
  shared_runtime

# ---- 4. Tests under Wine ------------------------------------------------------------
host_build() {
  cmake -S "$root" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELTOR_BUILD_EXAMPLES=OFF -DVELTOR_BUILD_BENCH=OFF \
    -DVELTOR_WINE_CLIENT="$win/bin/wine_client.exe" >"$host.log" 2>&1 &&
    cmake --build "$host" -j "$(nproc)" --target veltor_wine_tests >>"$host.log" 2>&1
  local rc=$?
  [ $rc -eq 0 ] || tail -n 60 "$host.log"
  return $rc
}
check "native build of the Wine test harness" host_build

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
prefix_dir="$(mktemp -d /tmp/veltor-wine-run-XXXXXX)"
export WINEPREFIX="$prefix_dir/prefix"
cleanup() {
  wineserver -k >/dev/null 2>&1
  rm -rf "$prefix_dir"
}
trap cleanup EXIT

# The prefix is made whole before anything is placed in it: a dosdevices
# folder made by hand first leaves Wine spinning.
make_prefix() {
  wineboot -i >"$prefix_dir/wineboot.log" 2>&1 && [ -d "$WINEPREFIX/dosdevices" ] ||
    { tail -n 20 "$prefix_dir/wineboot.log"; return 1; }
  wineserver -w
}
check "a fresh Wine prefix" make_prefix

gtest_counts() {  # log file: adds its passed and failed counts
  local log="$1" p f
  p=$(grep -oE '^\[  PASSED  \] [0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  f=$(grep -oE '^\[  FAILED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' || true)
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
}
run_gtest() {  # name, log, command...
  local name="$1" log="$2"
  shift 2
  echo "== $name"
  "$@" >"$log" 2>&1
  local rc=$?
  grep -E '^\[  (PASSED|FAILED|SKIPPED) ' "$log"
  if [ $rc -ne 0 ]; then
    grep -vE '^\[ +(RUN|OK) +\]' "$log" | tail -n 80
    # A crash or a failed set-up counts as one failure of its own.
    if ! grep -qE '^\[  FAILED  \] [0-9]+ test' "$log"; then
      failed=$((failed + 1))
    fi
  fi
  gtest_counts "$log"
}

if [ -f "$win/bin/veltor_unit_tests_win.exe" ]; then
  run_gtest "unit tests under Wine" "$prefix_dir/unit.log" \
    timeout 600 wine "$win/bin/veltor_unit_tests_win.exe"
fi
if [ -x "$host/tests/wine/veltor_wine_tests" ]; then
  run_gtest "end-to-end tests under Wine" "$prefix_dir/e2e.log" \
    timeout 900 "$host/tests/wine/veltor_wine_tests"
fi

finish
