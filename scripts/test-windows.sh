#!/usr/bin/env bash
# Runs the Windows build's tests under Wine: one Wine prefix in the build
# folder, its server and services started once before ctest (otherwise each
# test waits on them), and an X server of its own for the window tests.
#   scripts/test-windows.sh [BUILD_DIR [CTEST-ARGS...]]   (default build-windows/)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build-windows}" && pwd)
shift || true
wine=/usr/lib/wine/wine64
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# The build's test discovery may have made the prefix already; what the
# tests need of it is added once, marked by a file of our own.
if [ ! -f "$WINEPREFIX/quil-prepared" ]; then
  echo "test-windows: preparing the Wine prefix $WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then DISPLAY= timeout 120 "$wine" wineboot -i >/dev/null 2>&1; fi
  # Wine's own Tahoma for "MS Shell Dlg", and captions drawn by Wine itself
  # (there is no window manager under Xvfb).
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  DISPLAY= timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null
  timeout 30 /usr/lib/wine/wineserver -w
  touch "$WINEPREFIX/quil-prepared"
fi

xvfb_pid=""
cleanup() {
  "$here/scripts/wine-stop.sh" "$WINEPREFIX" || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP
if command -v Xvfb >/dev/null; then
  # Xvfb picks a free display itself and writes its number when it is ready.
  display_file="$build/xvfb-display"
  rm -f "$display_file"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
  if [ -s "$display_file" ]; then export DISPLAY=":$(cat "$display_file")"; fi
fi

setsid /usr/lib/wine/wineserver -p >/dev/null 2>&1 < /dev/null || true
timeout 60 "$wine" cmd /c exit >/dev/null 2>&1 || true
cd "$build"
# Under load Wine now and then fails to start a process at all: the test ends
# within a tenth of a second having printed nothing. So a failing test is run
# once more; one that fails twice fails the stage, and every retry is listed.
status=0
ctest --output-on-failure -j "$(nproc)" --repeat until-pass:2 "$@" | tee "$build/ctest-windows.log" || status=$?
grep -E 'Test +#[0-9]+: .*\*\*\*(Failed|Exception|Timeout)' "$build/ctest-windows.log" | sed 's/^/test-windows: retried: /' || true
exit "$status"
