#!/usr/bin/env bash
# Builds the program and runs it on its built-in virtual units. Without a
# display it runs in the console view.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/bootstrap.sh"
build=${QUIL_BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target quilupdate
exec "$build/ui/quilupdate" --simulate "$@"
