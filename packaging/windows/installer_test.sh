#!/usr/bin/env bash
# The installer under Wine: a silent install puts the programs and the
# Start-menu entry (every user's, not the installing user's own) in place, the
# installed quiltool.exe and quil-sim.exe run, and a silent uninstall takes
# back every file, folder, menu entry and registry key it made.
#   installer_test.sh WINE-RUN SETUP.EXE
set -euo pipefail
wine=$1
setup=$2
prefix=${WINEPREFIX:?}
drive="$prefix/drive_c"
velk="$drive/Program Files/Velk"
folder="$velk/Quil Firmware Update"
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Quil Firmware Update"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuilFirmwareUpdate'
fail() { echo "FAILED: $*"; exit 1; }
# A Start-menu folder of ours in any user's own menu.
own_menus() { find "$drive/users" -path '*/Start Menu/Programs/Quil Firmware Update' 2>/dev/null; }
installed() {
  [ -e "$velk" ] || [ -e "$menu" ] || [ -n "$(own_menus)" ] || "$wine" reg query "$key" >/dev/null 2>&1
}
# Whatever happens, the prefix is left with nothing installed, so that the
# next run starts from nothing.
cleanup() {
  rm -rf "$velk" "$menu"
  own_menus | while read -r m; do rm -rf "$m"; done
  "$wine" reg delete "$key" /f >/dev/null 2>&1 || true
}
trap cleanup EXIT
cleanup

"$wine" "$setup" /S || fail "the silent install exited $?"
for program in quilupdate.exe quiltool.exe quil-sim.exe; do
  [ -f "$folder/$program" ] || fail "$program not installed in $folder"
done
[ -f "$menu/Quil Firmware Update.lnk" ] || fail "no Start-menu entry in $menu (in users' own menus: $(own_menus))"
[ -z "$(own_menus)" ] || fail "a Start-menu entry in a user's own menu: $(own_menus)"
"$wine" reg query "$key" >/dev/null 2>&1 || fail "no uninstall key"
version=$("$wine" "$folder/quiltool.exe" --version | tr -d '\r')
grep -q '^quiltool ' <<<"$version" || fail "installed quiltool.exe --version said: $version"
echo "installed: $version"
version=$("$wine" "$folder/quil-sim.exe" --version | tr -d '\r')
grep -q '^quil-sim ' <<<"$version" || fail "installed quil-sim.exe --version said: $version"

# The uninstaller copies itself away, starts the copy and returns at once: wait
# until everything is gone. The bound only ends a run that never finishes (it
# is not a measure of speed: a slow machine passes, just later).
"$wine" "$folder/uninstall.exe" /S || fail "the silent uninstall exited $?"
for _ in $(seq 1200); do
  installed || break
  sleep 0.2
done
[ ! -e "$velk" ] || fail "left behind: $(find "$velk")"
[ ! -e "$menu" ] || fail "the Start-menu folder is left behind"
if "$wine" reg query "$key" >/dev/null 2>&1; then fail "the uninstall key is left behind"; fi
echo "Windows installer: silent install, installed quiltool.exe and quil-sim.exe --version, silent uninstall: passed"
