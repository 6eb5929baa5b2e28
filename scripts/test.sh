#!/usr/bin/env bash
# Sets up and runs every test, one CMake preset after another:
#   default  unit, simulator, end-to-end, tool, Python, install and Debian
#            package, format, and a short run of the benchmarks
#   asan     the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#            (clang), and each fuzz target for 20 s
#   tsan     the same tests under ThreadSanitizer
#   windows  the Windows build under Wine (scripts/windows.sh)
# Results are counted from each run's JUnit file (ctest --output-junit); a
# build that fails counts as one failure. Exits non-zero on any failure.
# As root with VELTOR_TEST_SYSTEM_INSTALL=1 (CI sets it), the Debian package
# is installed with apt-get, run, and removed again.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh || exit 1

status=0
passed=0
failed=0
notrun=0

count() {  # junit file: adds its counts
  local suite tests failures skipped disabled
  suite="$(tr '\n\t' '  ' <"$1" 2>/dev/null | grep -m1 -oE '<testsuite [^>]*>')"
  if [ -z "$suite" ]; then
    echo "no results in $1"
    failed=$((failed + 1))
    return
  fi
  attr() { grep -oE " $1=\"[0-9]+\"" <<<"$suite" | grep -oE '[0-9]+'; }
  tests=$(attr tests) failures=$(attr failures) skipped=$(attr skipped) disabled=$(attr disabled)
  passed=$((passed + tests - failures - ${skipped:-0} - ${disabled:-0}))
  failed=$((failed + failures))
  notrun=$((notrun + ${skipped:-0} + ${disabled:-0}))
}

run_preset() {  # preset, what it runs
  local preset="$1" log="$root/build-$1.log"
  echo "== $2"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "the $preset build failed"
    failed=$((failed + 1))
    status=1
    return
  fi
  local dir="$root/build-$preset"
  [ "$preset" = default ] && dir="$root/build"
  rm -f "$dir/junit.xml"
  ctest --preset "$preset" >"$log.ctest" 2>&1 || status=1
  grep -vE '^\s*$' "$log.ctest" | tail -n 25
  count "$dir/junit.xml"
}

run_preset default "tests"
run_preset asan "tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzz targets"
run_preset tsan "tests under ThreadSanitizer"

echo "== Windows build under Wine"
rm -f build-win32/junit.xml
if bash scripts/windows.sh; then
  :
else
  status=1
fi
if [ -f build-win32/junit.xml ]; then
  count build-win32/junit.xml
else
  echo "the Windows tests did not run"
  failed=$((failed + 1))
fi

echo
echo "$passed passed, $failed failed, $notrun not run"
exit $status
