#!/bin/sh
# Runs one fuzz target for $VELTOR_FUZZ_SECONDS (default 20) on a scratch copy
# of its seeds; fails on a crash, a leak or an input running over 10 s, and
# keeps the input that did it.   run.sh TARGET SEEDS WORK
set -u
target="$1" seeds="$2" work="$3"
seconds="${VELTOR_FUZZ_SECONDS:-20}"
name="$(basename "$target")"
# The fuzzer adds what it finds to its first corpus folder: a scratch copy
# that keeps growing across runs, so the committed seeds stay as they are.
corpus="$work/corpus/$name"
artifacts="$work/artifacts/$name"
log="$work/fuzz-$name.log"
mkdir -p "$corpus" "$artifacts"
[ -d "$seeds" ] && cp -r "$seeds/." "$corpus/"
(cd "$work" && "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus") >"$log" 2>&1
rc=$?
runs=$(grep -oE '^stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n 1)
saved=$(grep -oE 'Test unit written to .*' "$log" | sed 's/Test unit written to //')
if [ $rc -eq 0 ] && [ -z "$saved" ]; then
  echo "fuzz $name: ${runs:-0} runs, 0 crashes"
  exit 0
fi
grep -E 'ERROR: |fuzz check failed|SUMMARY: |runtime error' "$log" | head -n 5
echo "fuzz $name: ${runs:-0} runs, 1 crash (input saved to ${saved:-nowhere: see $log})"
exit 1
