#!/usr/bin/env bash
# Makes the Debian package of a build tree and checks it: its files as Debian
# wants them (stripped, one libveltor.so, the copyright file, the changelog
# and the manual pages compressed with gzip -9n), then the package used: the
# tool, the Python package and programs built with pkg-config. With
# VELTOR_TEST_SYSTEM_INSTALL=1 (CI, as root) it is installed with apt-get as
# a user would, used from /usr and removed again; otherwise it is used from
# its files unpacked into a scratch folder. Exits 77 (skipped) after every
# other check passed when the build had no help2man to write the manual
# pages.
#   deb.sh BUILD_DIR
set -euo pipefail
build="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq veltor >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "$*"
  exit 1
}

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB --config CPackConfig.cmake) >"$work/cpack.log" 2>&1 ||
  { tail -n 30 "$work/cpack.log"; exit 1; }
deb="$(ls "$build"/packages/veltor_*.deb)"
echo "package: $deb"
version="$(dpkg-deb -f "$deb" Version)"
upstream="${version%-*}"
# The library's soname: major.minor before 1.0, the major version after.
soversion="${upstream%%.*}"
[ "$soversion" = 0 ] && soversion="${upstream%.*}"

# Without help2man the build leaves the manual pages out (and says so).
man_pages=(veltor veltor-sim)
if grep -q '^VELTOR_HELP2MAN:FILEPATH=.*NOTFOUND' "$build/CMakeCache.txt"; then
  man_pages=()
fi

contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
files=(./usr/bin/veltor ./usr/bin/veltor-sim ./usr/include/veltor/veltor.h
  ./usr/include/veltor/version.h ./usr/lib/cmake/veltor/veltorConfig.cmake
  ./usr/lib/cmake/veltor/veltorConfigVersion.cmake ./usr/lib/pkgconfig/veltor.pc
  ./usr/lib/python3/dist-packages/veltor/__init__.py ./usr/share/doc/veltor/copyright
  ./usr/share/doc/veltor/changelog.Debian.gz ./usr/share/veltor/setup.schema.json)
for name in "${man_pages[@]}"; do
  files+=("./usr/share/man/man1/$name.1.gz")
done
for file in "${files[@]}"; do
  grep -qx -- "$file" <<<"$contents" || fail "the package lacks $file"
done
# One library, which the programs, C++ hosts and the Python module all load.
libraries="$(grep -E '/libveltor\.so' <<<"$contents" | sort)"
[ "$libraries" = "$(printf './usr/lib/libveltor.so%s\n' '' ".$soversion" ".$upstream")" ] ||
  fail "the package should hold /usr/lib/libveltor.so{,.$soversion,.$upstream} and no other copy:
$libraries"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "the package names no dependencies"
dpkg-deb -f "$deb" Recommends | grep -q 'python3 (>= 3\.' ||
  fail "the package does not name the python3 its module was built for"

dpkg -x "$deb" "$work/root"

# The Tango server, when the build had Tango, is a package of its own: the
# SDK's never depends on Tango, the server's on the SDK of its own version.
! dpkg-deb -f "$deb" Depends | grep -qi tango || fail "the veltor package depends on Tango"
tango_deb="$(ls "$build"/packages/veltor-tango_*.deb 2>/dev/null || true)"
if [ -n "$tango_deb" ]; then
  tango_contents="$(dpkg-deb -c "$tango_deb" | awk '{print $6}')"
  tango_files=(./usr/bin/veltor-tango ./usr/share/doc/veltor-tango/copyright)
  if [ ${#man_pages[@]} -ne 0 ]; then
    tango_files+=(./usr/share/man/man1/veltor-tango.1.gz)
    man_pages+=(veltor-tango)  # its synopsis is checked with the others'
  fi
  for file in "${tango_files[@]}"; do
    grep -qx -- "$file" <<<"$tango_contents" || fail "the veltor-tango package lacks $file"
  done
  ! grep -q '/libveltor\.so' <<<"$tango_contents" || fail "veltor-tango holds a copy of libveltor"
  tango_depends="$(dpkg-deb -f "$tango_deb" Depends)"
  grep -q "veltor (= $version)" <<<"$tango_depends" && grep -q libtango <<<"$tango_depends" ||
    fail "veltor-tango should depend on veltor (= $version) and the Tango library: $tango_depends"
  dpkg -x "$tango_deb" "$work/root"
  # It loads the SDK's library from the other package (through its run path).
  ! LD_LIBRARY_PATH= ldd "$work/root/usr/bin/veltor-tango" | grep -q 'not found' ||
    fail "veltor-tango misses a library: $(ldd "$work/root/usr/bin/veltor-tango" | grep 'not found')"
  echo "veltor-tango: $tango_deb"
fi

# No debugging information or symbol table in any ELF file shipped.
elves=0
while IFS= read -r -d '' file; do
  [ "$(od -An -tx1 -N4 "$file" | tr -d ' ')" = 7f454c46 ] || continue
  elves=$((elves + 1))
  sections="$(readelf -S -W "$file" | { grep -oE ' \.(debug_[a-z_]+|symtab) ' || true; } |
    sort -u | tr -d '\n')"
  [ -z "$sections" ] || fail "${file#"$work/root"} is not stripped:$sections"
done < <(find "$work/root" -type f -print0)
[ "$elves" -ge 4 ] || fail "only $elves ELF files found in the package"

# gzip -9n, as Debian's tools compress: no file name (flag bit 3) nor time
# (bytes 4 to 7) in the header, and the best compression (byte 8 is 2).
check_gzip() {
  local header
  read -r -a header <<<"$(od -An -tu1 -N9 "$1")"
  [ "${header[0]} ${header[1]}" = "31 139" ] || fail "$1 is not gzip-compressed"
  [ $((header[3] & 8)) -eq 0 ] || fail "$1 holds its file name (gzip -n)"
  [ "${header[*]:4:4}" = "0 0 0 0" ] || fail "$1 holds a time stamp (gzip -n)"
  [ "${header[8]}" = 2 ] || fail "$1 is not compressed with gzip -9"
}

doc="$work/root/usr/share/doc/veltor"
head -n 1 "$doc/copyright" |
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in the machine-readable format"
grep -A2 -x 'Files: \*' "$doc/copyright" | grep -q '^License: ' ||
  fail "the copyright file names no license for Files: *"
check_gzip "$doc/changelog.Debian.gz"
gzip -dc "$doc/changelog.Debian.gz" >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
  fail "the changelog's last entry is not version $version (add one to cmake/debian/changelog)"

# help2man found the usage line: the synopsis names the program.
for name in "${man_pages[@]}"; do
  page="$work/root/usr/share/man/man1/$name.1.gz"
  check_gzip "$page"
  synopsis="$(gzip -dc "$page" | awk '/^\.SH SYNOPSIS/ { getline; print; exit }' | sed 's/\\-/-/g')"
  [ "$synopsis" = ".B $name" ] || fail "$name.1 has no synopsis of $name: '$synopsis'"
done

if [ "${VELTOR_TEST_SYSTEM_INSTALL:-0}" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  if dpkg-query -W -f='${Status}' veltor 2>/dev/null | grep -q " installed$"; then
    fail "a veltor package is installed already: not replacing it"
  fi
  installed=1
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
    { tail -n 30 "$work/apt.log"; exit 1; }
  root=""
  unset PKG_CONFIG_PATH PYTHONPATH
  where="installed with apt-get"
else
  root="$work/root"
  export PKG_CONFIG_PATH="$root/usr/lib/pkgconfig"
  export PYTHONPATH="$root/usr/lib/python3/dist-packages"
  where="unpacked"
fi
unset LD_LIBRARY_PATH

cd "$work"
"$root/usr/bin/veltor" demo --diagram "$work/demo.svg" >"$work/demo.log"
grep -q '<svg' "$work/demo.svg"

# The module loads /usr/lib's libveltor.so.$soversion (through its run path
# when unpacked), and no copy of it sits in the package as a module of its own.
/usr/bin/python3 - "$root/usr/lib/libveltor.so.$soversion" <<'EOF'
import os, pkgutil, sys
import veltor

with open("/proc/self/maps") as maps:
    loaded = {os.path.realpath(line.split()[-1]) for line in maps if "/libveltor.so" in line}
expected = {os.path.realpath(sys.argv[1])}
copies = [m.name for m in pkgutil.iter_modules(veltor.__path__) if m.name.startswith("lib")]
if loaded != expected or copies or not veltor.Device:
    sys.exit(f"the Python package loaded {sorted(loaded)}, not {sorted(expected)}; modules {copies}")
EOF

"$here/../consumer/pkgconfig.sh" "$work" >/dev/null
echo "$where: veltor demo, the Python package and C, C++ and C++20 programs built with pkg-config run"

if [ ${#man_pages[@]} -eq 0 ]; then
  echo "the manual pages were not checked: the build found no help2man (scripts/setup.sh installs it)"
  exit 77
fi
