#!/usr/bin/env bash
# Sets up, builds and runs `veltor demo`: the simulated instrument, the demo
# setup applied, what the instrument holds, delay reports, a timing diagram.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" >/dev/null
exec "$root/build/tools/veltor" demo "$@"
