#!/usr/bin/env bash
# Builds the program and runs it on its built-in virtual units in the console
# view; further options (--unit N, --update, --yes, --sim-state DIR, ...) are
# passed on.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/bootstrap.sh"
build=${QUIL_BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target quilupdate
cmake --build "$build" -j "$(nproc)" --target quiltool >/dev/null
exec "$build/ui/quilupdate" --simulate --console "$@"
