#!/usr/bin/env bash
# The README's plain build, `cmake -S . -B build && cmake --build build`, with
# CMake's default generator (Unix Makefiles) in a fresh tree of its own: Make,
# unlike Ninja, makes no folder for a custom command's output, so a command
# that writes into a folder nobody made (the manual pages) fails here only.
# The tests are left out of this tree: they have no custom command, and the
# other trees build them. ccache keeps a rerun cheap.
#   makefiles.sh SOURCE_DIR TREE
set -euo pipefail
source_dir="$1"
tree="$2"
rm -rf "$tree"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$source_dir" -B "$tree" -G "Unix Makefiles" -DVELTOR_BUILD_TESTS=OFF \
  -DVELTOR_BUILD_DOCS=ON "${launcher[@]}"
cmake --build "$tree" -j2
# The API reference as the README shows it, where Doxygen is installed.
if command -v doxygen >/dev/null 2>&1; then
  cmake --build "$tree" --target docs
fi
# Every manual page the build promises is there.
if command -v help2man >/dev/null 2>&1; then
  for page in veltor veltor-sim; do
    test -s "$tree/man/$page.1.gz" || { echo "no manual page $page.1.gz"; exit 1; }
  done
fi
echo "the Makefile build succeeded"
