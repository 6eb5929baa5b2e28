#!/usr/bin/env bash
# Builds and runs a user's programs with the flags pkg-config gives for an
# installed veltor, after the user's own (as a Makefile puts them): the C++
# program at the compiler's default standard and at C++20, and the C
# program on the C interface. PKG_CONFIG_PATH must find the veltor.pc meant.
#   pkgconfig.sh WORK_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
work="$1"
read -r -a flags <<<"$(pkg-config --cflags --libs veltor)"
flags+=("-Wl,-rpath,$(pkg-config --variable=libdir veltor)")
warnings=(-Wall -Wextra -Werror)

c++ "${warnings[@]}" "$here/main.cpp" -o "$work/consumer-c++" "${flags[@]}"
c++ -std=c++20 -DVELTOR_CONSUMER_CPLUSPLUS=202002L "${warnings[@]}" "$here/main.cpp" \
  -o "$work/consumer-c++20" "${flags[@]}"
cc -std=c11 -pedantic "${warnings[@]}" "$here/main.c" -o "$work/consumer-c" "${flags[@]}"
for program in consumer-c++ consumer-c++20 consumer-c; do
  "$work/$program"
done
