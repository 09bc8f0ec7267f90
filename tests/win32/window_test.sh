#!/usr/bin/env bash
# quilupdate.exe's Win32 window under Wine and an X server: it opens with its
# caption and the six built-in entries, a screenshot shows it, About is
# reached through the system menu, and an update through the window writes
# bank 2 of the saved unit. Skipped (77) without a display. (An empty
# screen is one colour; the window with its texts and controls, drawn with
# Tahoma without smoothing, is more than a dozen.)
#   window_test.sh WINE-RUN BUILD_DIR
set -euo pipefail
wine=$1
build=$2
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

read -r _ x y w h < <(grep '^rectangle:' <<<"$main")
shot="$build/windows-main-window.png"
import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" "$shot"
colours=$(convert "$shot" -format %k info:)
[ "$colours" -ge 8 ] || fail "the screenshot shows $colours colours, not the window"
echo "screenshot: $shot, $colours colours"

about=$(probe about 30) || fail "About: $about"
echo "$about"

update=$(probe update 600) || { cat "$work/program.out"; fail "update: $update"; }
echo "$update"
wait "$program" || fail "quilupdate exited $?"
program=""
"$wine" "$build/tools/quiltool.exe" extract QUIL0803C.BIN "Z:${work//\//\\}\\image.bin" || fail "extract"
cmp "$work/units/3118220001/bank2.bin" "$work/image.bin" || fail "bank 2 differs from the embedded image"
echo "Windows window: caption, entries, screenshot, About, update into bank 2: passed"
