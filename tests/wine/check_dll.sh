#!/bin/sh
# Checks veltor.dll: every exported class has exported symbols, it imports
# GCC's runtime as shared DLLs, and those DLLs and the import library ship
# beside it.   check_dll.sh OBJDUMP DLL IMPORT_LIBRARY HEADER_DIR
set -u
objdump="$1" dll="$2" implib="$3" headers="$4"
bin="$(dirname "$dll")"
status=0
exports="$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,$p')"
# GCC's decoration holds a class name after its length. The plain records
# (S prefix) have only inline members and so nothing to export.
for class in $(grep -hoE 'class VELTOR_API C[A-Za-z0-9_]+' "$headers"/*.h | awk '{print $3}' | sort -u); do
  if ! printf '%s\n' "$exports" | grep -qE "\] _Z.*[^0-9]${#class}${class}"; then
    echo "no exported symbol of $class"
    status=1
  fi
done
imports="$("$objdump" -p "$dll" | grep 'DLL Name')"
for runtime in libgcc_s_dw2-1.dll libstdc++-6.dll; do
  printf '%s\n' "$imports" | grep -q "$runtime" || { echo "$dll does not import $runtime"; status=1; }
done
for runtime in libgcc_s_dw2-1.dll libstdc++-6.dll libwinpthread-1.dll; do
  [ -f "$bin/$runtime" ] || { echo "$runtime is not beside $dll"; status=1; }
done
[ -f "$implib" ] || { echo "no import library $implib"; status=1; }
exit $status
