#!/usr/bin/env bash
# Sets up, builds and runs `veltor demo`: the simulated instrument, the demo
# setup applied, what the instrument holds, delay reports, a timing diagram.
# Builds only the tool (and the library it uses) in build/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh demo
cmake --preset default >build.configure.log 2>&1 || { tail -n 30 build.configure.log; exit 1; }
cmake --build --preset default --target veltor-tool >build.log 2>&1 || { tail -n 40 build.log; exit 1; }
exec "$root/build/tools/veltor" demo "$@"
