#!/usr/bin/env bash
# Sets up and runs every test: the plain build, AddressSanitizer with
# UndefinedBehaviorSanitizer, ThreadSanitizer, each fuzz target for 20 s, a
# short run of the benchmarks, and the Windows build under Wine (when
# scripts/windows.sh is present). Exits
# non-zero on any failure.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" || exit 1

status=0
passed=0
failed=0

run_ctest() {  # name dir [ctest args...]
  local name="$1" dir="$2"
  shift 2
  echo "== $name"
  local log
  log="$(mktemp)"
  (cd "$dir" && ctest --output-on-failure -j 2 "$@") >"$log" 2>&1
  local rc=$?
  tail -n 40 "$log" | grep -vE '^\s*$' | tail -n 25
  local p f
  p=$(grep -oE '[0-9]+ tests passed' "$log" | grep -oE '^[0-9]+' || true)
  f=$(grep -oE 'tests passed, [0-9]+ tests failed' "$log" | grep -oE '[0-9]+ tests failed' | grep -oE '^[0-9]+' || true)
  local total
  total=$(grep -oE 'out of [0-9]+' "$log" | grep -oE '[0-9]+' || true)
  if [ -n "$total" ]; then
    f=${f:-0}
    passed=$((passed + total - f))
    failed=$((failed + f))
  fi
  rm -f "$log"
  [ $rc -eq 0 ] || status=1
}

build() {  # dir options...
  local dir="$1"
  shift
  if ! "$root/scripts/build.sh" "$dir" "$@" >"$dir.log" 2>&1; then
    cat "$dir.log" | tail -n 60
    echo "build of $dir failed"
    status=1
    return 1
  fi
}

mkdir -p "$root/build"
if build "$root/build"; then
  run_ctest "tests" "$root/build"
fi
if build "$root/build-asan" -DVELTOR_SANITIZE=address -DVELTOR_BUILD_EXAMPLES=OFF; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest "tests under AddressSanitizer and UndefinedBehaviorSanitizer" "$root/build-asan"
fi
if build "$root/build-tsan" -DVELTOR_SANITIZE=thread -DVELTOR_BUILD_EXAMPLES=OFF; then
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest "threaded tests under ThreadSanitizer" "$root/build-tsan"
fi
if [ -f "$root/scripts/fuzz" ]; then
  echo "== fuzz targets, 20 s each"
  fuzzlog="$(mktemp)"
  bash "$root/scripts/fuzz" 20 2>&1 | tee "$fuzzlog"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  # One check per target: it passes when it built and ran without a crash.
  targets=$(grep -cE '^fuzz [^ ]+: ' "$fuzzlog" || true)
  clean=$(grep -cE '^fuzz [^ ]+: [0-9]+ runs, 0 crashes$' "$fuzzlog" || true)
  if [ "$targets" -gt 0 ]; then
    passed=$((passed + clean))
    failed=$((failed + targets - clean))
  else
    failed=$((failed + 1))
  fi
  rm -f "$fuzzlog"
fi
if [ -x "$root/bench/run" ]; then
  # Proves every benchmark runs; the figures of a short run mean nothing.
  echo "== benchmarks, short run"
  if bash "$root/bench/run" --short >"$root/build-bench.run.log" 2>&1; then
    passed=$((passed + 1))
  else
    tail -n 30 "$root/build-bench.run.log"
    failed=$((failed + 1))
    status=1
  fi
fi
if [ -f "$root/scripts/windows.sh" ]; then
  echo "== Windows build under Wine"
  winlog="$(mktemp)"
  bash "$root/scripts/windows.sh" 2>&1 | tee "$winlog"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  counts=$(grep -E '^windows: [0-9]+ passed, [0-9]+ failed' "$winlog" | tail -n 1)
  if [ -n "$counts" ]; then
    passed=$((passed + $(echo "$counts" | grep -oE '[0-9]+ passed' | grep -oE '[0-9]+')))
    failed=$((failed + $(echo "$counts" | grep -oE '[0-9]+ failed' | grep -oE '[0-9]+')))
  else
    failed=$((failed + 1))
  fi
  rm -f "$winlog"
fi

echo
echo "$passed passed, $failed failed"
exit $status
