#!/usr/bin/env bash
# The Windows programs under Wine, as a user runs them from a console:
# quiltool.exe lists the three embedded images and never writes over its
# input under another spelling of its name; quilupdate.exe updates a virtual
# Quil's bank 2 with exactly the embedded image, a unit that fails
# programming at packet 100 ends the run with exit status 1 and its text, a
# box asks at a console and not with its input from NUL, an update whose
# output nobody reads is not started, and the Dante demo's VX-DANTE card
# takes exactly its image over UDP.
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

# The input is never its own output, however its name is spelt.
echo "plain text" >"$work/plain.txt"
for output in PLAIN.TXT '.\Plain.txt' "$(windows_path "$work/./plain.TXT")"; do
  set +e
  "$wine" "$build/tools/quiltool.exe" expand plain.txt "$output" >/dev/null 2>"$work/same.err"
  status=$?
  set -e
  [ "$status" = 1 ] || fail "quiltool expand plain.txt $output exited $status, not 1"
  grep -q "is the input file" "$work/same.err" || fail "quiltool expand plain.txt $output: $(cat "$work/same.err")"
  [ "$(cat "$work/plain.txt")" = "plain text" ] || fail "quiltool expand plain.txt $output changed the input"
done
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

# A reader gone before the update is confirmed (| true): nothing is written.
set +e
"$wine" "$build/ui/quilupdate.exe" --console --simulate --update --yes --sim-quick \
  --sim-state "$(windows_path "$work/unread")" 2>"$work/unread.err" | { exec <&-; }
status=${PIPESTATUS[0]}
set -e
[ "$status" = 1 ] || { cat "$work/unread.err"; fail "an update nobody reads exited $status, not 1"; }
if cmp -s "$work/unread/3118220001/bank2.bin" "$work/image.bin"; then fail "an update nobody reads was written"; fi
grep -q 'was asked after the output went away: Cancel' "$work/QuilUpdate.log" || fail "no log entry for the unread confirmation"

# A box waits for an answer at a console (a pseudo-terminal here; Wine draws
# its text with cursor movements in between), and not with its input from NUL.
set +e
"$wine" "$build/ui/quilupdate.exe" --console --simulate --unit 99 </dev/null >"$work/nul.out" 2>&1
status=$?
set -e
[ "$status" = 1 ] || { cat "$work/nul.out"; fail "a missing entry exited $status, not 1"; }
grep -q "There is no entry 99 in the unit list." "$work/nul.out" || fail "no text for a missing entry"
if grep -q "(Enter:" "$work/nul.out"; then fail "a box prompted with its input from NUL"; fi
plain() { sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$1"; }
script -qec "$wine $build/ui/quilupdate.exe --console --simulate --unit 99" /dev/null </dev/null \
  >"$work/console.out" 2>&1 &
console=$!
for _ in $(seq 600); do
  plain "$work/console.out" | grep -q "(Enter:" && break
  sleep 0.1
done
kill "$console" 2>/dev/null || true
wait "$console" 2>/dev/null || true
plain "$work/console.out" | grep -q "(Enter:" || { plain "$work/console.out"; fail "a box at a console did not ask"; }

# The card's store is written in whole packets of 128 bytes, the last one
# filled with zeros.
"$wine" "$build/tools/quiltool.exe" extract VXDNT0102NC.BIN "$(windows_path "$work/card-image.bin")" \
  || fail "quiltool extract VXDNT0102NC.BIN"
"$wine" "$build/ui/quilupdate.exe" --console --simulate=dante --unit 1 --update --yes \
  --sim-state "$(windows_path "$work/dante")" >"$work/dante.out" 2>&1 \
  || { cat "$work/dante.out"; fail "the Dante card's update exited $?"; }
grep -q "VX-DANTE in Quil connected via Dante (127.0.0.1)" "$work/dante.out" \
  || { cat "$work/dante.out"; fail "the Dante card is not listed"; }
size=$(stat -c %s "$work/card-image.bin")
truncate -s $(( (size + 127) / 128 * 128 )) "$work/card-image.bin"
cmp "$work/dante/3118220001/card.bin" "$work/card-image.bin" || fail "the card's store differs from its image"

echo "Windows programs: images, update into bank 2, programming error, boxes at a console and from NUL, an unread update, the Dante card's update: passed"
