#!/usr/bin/env bash
# Sets up, builds and runs the demo against the simulated instrument.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" >/dev/null
exec "$root/build/examples/veltor-demo" "$@"
