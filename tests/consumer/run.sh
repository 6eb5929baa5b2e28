#!/usr/bin/env bash
# Installs a build tree into a scratch prefix and builds a user's program
# against it both ways: find_package(veltor), and pkg-config (C++ at the
# compiler's default standard and at C++20, and a C program: pkgconfig.sh).
#   run.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$(dirname "$(find "$prefix" -name 'libveltor.so' -path '*/lib*' | head -n 1)")" \
  "$work/cmake/consumer"

PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name veltor.pc | head -n 1)")" \
  "$here/pkgconfig.sh" "$work"

# The tool and the simulator run from the installed tree.
"$prefix/bin/veltor" --help >/dev/null
test -x "$prefix/bin/veltor-sim"
echo "consumer: built and ran against the installed tree both ways"
