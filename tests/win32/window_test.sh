#!/usr/bin/env bash
# quilupdate.exe's Win32 window under Wine and an X server: it opens with its
# caption, its icon, the six built-in entries and the tiled background
# (checked in a screenshot), About is reached through the system menu, and an
# update through the window writes bank 2 of the saved unit. Skipped (77)
# without a display.
#   window_test.sh WINE-RUN BUILD_DIR
set -euo pipefail
wine=$1
build=$2
source=$(cd "$(dirname "$0")/../.." && pwd)
[ -n "${DISPLAY:-}" ] || { echo "no display: skipped"; exit 77; }
work=$(mktemp -d)
program=""
cleanup() {
  if [ -n "$program" ]; then kill "$program" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }
probe() { "$wine" "$build/tests/window_probe.exe" "$@" | tr -d '\r'; }

cd "$work"
"$wine" "$build/ui/quilupdate.exe" --simulate --sim-state "Z:${work//\//\\}\\units" >"$work/program.out" 2>&1 &
program=$!

main=$(probe main 120) || { cat "$work/program.out"; fail "no main window: $main"; }
echo "$main"
grep -qx "caption: Quil Firmware Update" <<<"$main" || fail "caption"
grep -qx "entries: 6" <<<"$main" || fail "six entries"
grep -qx "entry: Quil connected via Quil USB MIDI 1" <<<"$main" || fail "the first entry"

# The window as it is on the screen, kept in the build folder. Its caption
# starts with the program's icon, whose amber ring no other part of the
# window has (Wine cannot answer WM_GETICON from another process); most of
# its client area shows the background bitmap, tiled from the top-left corner.
read -r _ x y w h < <(grep '^rectangle:' <<<"$main")
shot="$build/windows-main-window.png"
import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$shot"
amber=$(convert "$shot" -crop 24x24+0+0 txt:- |
  awk -F'[(),]' 'NR > 1 && $3 > 180 && $5 < 120 && $3 - $5 > 100 { n++ } END { print n + 0 }')
[ "$amber" -ge 8 ] || fail "no icon in the caption ($amber amber pixels)"
read -r _ x y w h < <(grep '^client:' <<<"$main")
import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$work/client.png"
convert -size "${w}x${h}" "tile:$source/resources/background_104.png" "$work/tiled.png"
differing=$(compare -metric AE "$work/client.png" "$work/tiled.png" null: 2>&1 || true)
echo "screenshot: $shot; $amber icon pixels; $differing of $((w * h)) client pixels differ from the tiled background"
[ "$differing" -lt $((w * h / 2)) ] || fail "the client area does not show the tiled background"

about=$(probe about 30) || fail "About: $about"
echo "$about"

update=$(probe update 600) || { cat "$work/program.out"; fail "update: $update"; }
echo "$update"
wait "$program" || fail "quilupdate exited $?"
program=""
"$wine" "$build/tools/quiltool.exe" extract QUIL0803C.BIN "Z:${work//\//\\}\\image.bin" || fail "extract"
cmp "$work/units/3118220001/bank2.bin" "$work/image.bin" || fail "bank 2 differs from the embedded image"
echo "Windows window: caption, entries, screenshot, About, update into bank 2: passed"
