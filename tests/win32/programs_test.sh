#!/usr/bin/env bash
# The Windows programs under Wine, as a user runs them from a console:
# quiltool.exe lists the three embedded images, quilupdate.exe updates a
# virtual Quil's bank 2 with exactly the embedded image, a unit that fails
# programming at packet 100 ends the run with exit status 1 and its text.
# (The Dante demo is not run here: under Wine the Dante link, which takes only
# the selected device's replies, hears nothing from the demo's card.)
#   programs_test.sh WINE-RUN BUILD_DIR
set -euo pipefail
wine=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
windows_path() { echo "Z:${1//\//\\}"; }

cd "$work"
images=$("$wine" "$build/tools/quiltool.exe" images | tr -d '\r')
for name in QUIL0803C.BIN VXDNT0102NC.BIN VXUSB10V00.BIN; do
  grep -q "$name" <<<"$images" || fail "quiltool images does not list $name: $images"
done
[ "$(grep -c '\.BIN' <<<"$images")" = 3 ] || fail "quiltool images lists other than three images: $images"

"$wine" "$build/tools/quiltool.exe" extract QUIL0803C.BIN "$(windows_path "$work/image.bin")" \
  || fail "quiltool extract"
"$wine" "$build/ui/quilupdate.exe" --console --simulate --update --yes \
  --sim-state "$(windows_path "$work/units")" >"$work/update.out" 2>&1 \
  || { cat "$work/update.out"; fail "the update exited $?"; }
cmp "$work/units/3118220001/bank2.bin" "$work/image.bin" || fail "bank 2 differs from the embedded image"
grep -q "Found Quil" "$work/QuilUpdate.log" || fail "the log has no discovery entry"

set +e
"$wine" "$build/ui/quilupdate.exe" --console --simulate --update --yes --sim-fault pgmerr@100 >"$work/fault.out" 2>&1
status=$?
set -e
[ "$status" = 1 ] || { cat "$work/fault.out"; fail "a programming error exited $status, not 1"; }
grep -q "Wait for Write Firmware Packet Failed!" "$work/fault.out" || fail "no packet failure text"
grep -q "PGMERR" "$work/fault.out" || fail "no PGMERR"
grep -q "Updating the Firmware on the Quil FAILED!" "$work/fault.out" || fail "no failure box text"

echo "Windows programs: images, update into bank 2, programming error: passed"
