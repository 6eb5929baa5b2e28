#!/usr/bin/env bash
# Installs with apt-get what building needs, skipping what is already there.
#   scripts/setup.sh demo   what the demo needs: the library and the tool
#   scripts/setup.sh        everything the tests use (plain, sanitizers, fuzz
#                           targets, Python package, Tango server, packaging,
#                           benchmarks)
# The Windows build's toolchain and Wine are installed by scripts/windows.sh.
set -euo pipefail

packages=(cmake ninja-build g++ libcli11-dev nlohmann-json3-dev)
if [ "${1:-}" != "demo" ]; then
  packages+=(libgtest-dev libbenchmark-dev clang-format clang-14 libclang-rt-14-dev
    librsvg2-bin pybind11-dev python3-dev python3-venv python3-pytest pkgconf dpkg-dev help2man
    valgrind strace linux-perf python3-serial python3-jsonschema doxygen ser2net ccache)
  packages+=(python3-pymeasure)  # veltor.pymeasure and its tests
  packages+=(libtango-dev python3-tango)  # veltor-tango and its tests
  # veltor panel (the tool builds without it) and its test in a headless browser.
  packages+=(libcpp-httplib-dev chromium chromium-driver python3-selenium)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
