#!/usr/bin/env bash
# Makes the Debian package of a build tree and checks it: its files, then
# the package installed and used. With VELTOR_TEST_SYSTEM_INSTALL=1 (CI, as
# root) it is installed with apt-get as a user would, `veltor demo` and the
# Python package run from /usr, and the package is removed again; otherwise
# it is unpacked into a scratch folder and the tool runs from there.
#   deb.sh BUILD_DIR
set -euo pipefail
build="$1"
work="$(mktemp -d)"
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq veltor >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB --config CPackConfig.cmake) >"$work/cpack.log" 2>&1 ||
  { tail -n 30 "$work/cpack.log"; exit 1; }
deb="$(ls "$build"/packages/veltor_*.deb)"
echo "package: $deb"

contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
for file in ./usr/bin/veltor ./usr/bin/veltor-sim ./usr/include/veltor/veltor.h \
  ./usr/include/veltor/version.h ./usr/lib/cmake/veltor/veltorConfig.cmake \
  ./usr/lib/cmake/veltor/veltorConfigVersion.cmake ./usr/lib/pkgconfig/veltor.pc \
  ./usr/lib/python3/dist-packages/veltor/__init__.py; do
  grep -qx -- "$file" <<<"$contents" || { echo "the package lacks $file"; exit 1; }
done
grep -qE '^\./usr/lib/libveltor\.so\.[0-9]+$' <<<"$contents" ||
  { echo "the package lacks the library's soname link"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q libc6 || { echo "the package names no dependencies"; exit 1; }

cd "$work"
if [ "${VELTOR_TEST_SYSTEM_INSTALL:-0}" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  if dpkg-query -W -f='${Status}' veltor 2>/dev/null | grep -q " installed$"; then
    echo "a veltor package is installed already: not replacing it"
    exit 1
  fi
  installed=1
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
    { tail -n 30 "$work/apt.log"; exit 1; }
  /usr/bin/veltor demo --diagram "$work/demo.svg" >"$work/demo.log"
  /usr/bin/python3 -c 'import veltor, sys; sys.exit(0 if veltor.Device else 1)'
  echo "installed with apt-get: veltor demo and the Python package run from /usr"
else
  dpkg -x "$deb" "$work/root"
  "$work/root/usr/bin/veltor" demo --diagram "$work/demo.svg" >"$work/demo.log"
  echo "unpacked: veltor demo runs from the package's files"
fi
grep -q '<svg' "$work/demo.svg"
