#!/usr/bin/env bash
# Sets up, builds and runs `veltor demo`: the simulated instrument, the demo
# setup applied, what the instrument holds, delay reports, a timing diagram.
# Builds only the tool (and the library it uses) in build/. Says what it is
# doing at each stage; the full logs are build.configure.log and build.log.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

stage() { echo "demo: $*"; }

# Ninja's "[n/m] ..." lines, cut down to one line per tenth of the build and
# one per target linked. Read line by line as they come (mawk would hold
# them back in its input buffer).
progress() {
  local line step finished total tenth target shown=0 built=""
  while IFS= read -r line; do
    [[ $line =~ ^\[([0-9]+)/([0-9]+)\]\ (.*)$ ]] || continue
    finished=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]} step=${BASH_REMATCH[3]}
    tenth=$((finished * 10 / total))
    if [[ $step == Linking* ]]; then
      target=${step##* }
      echo "demo:   [$finished/$total] linked ${target##*/}"
    elif ((tenth > shown)); then
      echo "demo:   [$finished/$total] $((tenth * 10))%"
    else
      continue
    fi
    shown=$tenth built=1
  done
  [ -n "$built" ] || echo "demo:   already built"
}

stage "1/4 installing what the build needs with apt-get (what is there already is skipped)"
scripts/setup.sh demo
stage "2/4 configuring build/"
cmake --preset default >build.configure.log 2>&1 || { tail -n 30 build.configure.log; exit 1; }
stage "3/4 building the library and the tool (minutes on a fresh machine)"
cmake --build --preset default --target veltor-tool 2>&1 | tee build.log | progress ||
  { tail -n 40 build.log; exit 1; }
stage "4/4 running veltor demo"
exec "$root/build/tools/veltor" demo "$@"
