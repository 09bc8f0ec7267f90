#!/usr/bin/env bash
# Runs the Windows build's tests under Wine: one Wine prefix in the build
# folder, its server and services started once before ctest (otherwise each
# test waits on them), and an X server of its own for the window tests.
#   scripts/test-windows.sh [BUILD_DIR]     (default build-windows/)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build-windows}" && pwd)
wine=/usr/lib/wine/wine64
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-windows: making the Wine prefix $WINEPREFIX"
  DISPLAY= "$wine" wineboot -i >/dev/null 2>&1
  # Wine's own Tahoma for "MS Shell Dlg", and captions drawn by Wine itself
  # (there is no window manager under Xvfb).
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
fi

display=""
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
xvfb_pid=""
cleanup() {
  "$here/scripts/wine-stop.sh" "$WINEPREFIX" || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
if [ -n "$display" ] && command -v Xvfb >/dev/null; then
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY="$display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
fi

setsid /usr/lib/wine/wineserver -p >/dev/null 2>&1 < /dev/null || true
"$wine" cmd /c exit >/dev/null 2>&1 || true
cd "$build"
ctest --output-on-failure -j "$(nproc)"
