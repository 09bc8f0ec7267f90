#!/usr/bin/env bash
# Cross-builds the Windows programs (quilupdate.exe, quiltool.exe, quil-sim.exe),
# their tests and the installer into build-windows/ with Debian's mingw-w64,
# installing what that needs first. Quiet and quick when everything is there.
#   scripts/build-windows.sh            build
#   scripts/build-windows.sh --test     build, then run the tests under Wine
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${QUIL_WINDOWS_BUILD_DIR:-$here/build-windows}

packages=(
  cmake ninja-build googletest python3
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine64 wine nsis
  xvfb xdotool imagemagick fonts-wine
)
"$here/scripts/install-packages.sh" build-windows "${packages[@]}"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"

if [ "${1:-}" = "--test" ]; then
  "$here/scripts/test-windows.sh" "$build"
fi
