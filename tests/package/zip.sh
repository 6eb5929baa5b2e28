#!/bin/sh
# Makes the Windows zip of a cross build tree and checks what it holds.
#   zip.sh BUILD_DIR
set -eu
build="$1"
rm -rf "$build/packages"
(cd "$build" && cpack -G ZIP --config CPackConfig.cmake) >/dev/null
zip="$(ls "$build"/packages/veltor-*-win32.zip)"
echo "package: $zip"
# Paths below the zip's top folder.
contents="$(cmake -E tar tf "$zip" | sed 's|^[^/]*/||')"
status=0
for file in bin/veltor.dll lib/libveltor.dll.a bin/libstdc++-6.dll bin/libgcc_s_dw2-1.dll \
  bin/libwinpthread-1.dll include/veltor/veltor.h include/veltor/version.h \
  lib/cmake/veltor/veltorConfig.cmake; do
  printf '%s\n' "$contents" | grep -qxF -- "$file" || { echo "the zip lacks $file"; status=1; }
done
exit $status
