#!/usr/bin/env bash
# The installer under Wine: a silent install puts the programs and the
# Start-menu entry in place, the installed quiltool.exe runs, and a silent
# uninstall takes back every file, folder and registry key it made.
#   installer_test.sh WINE-RUN SETUP.EXE
set -euo pipefail
wine=$1
setup=$2
prefix=${WINEPREFIX:?}
drive="$prefix/drive_c"
folder="$drive/Program Files/Velk/Quil Firmware Update"
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Quil Firmware Update"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuilFirmwareUpdate'
fail() { echo "FAILED: $*"; exit 1; }

"$wine" "$setup" /S || fail "the silent install exited $?"
[ -f "$folder/quilupdate.exe" ] && [ -f "$folder/quiltool.exe" ] || fail "programs not installed in $folder"
[ -f "$menu/Quil Firmware Update.lnk" ] || fail "no Start-menu entry"
"$wine" reg query "$key" >/dev/null 2>&1 || fail "no uninstall key"
version=$("$wine" "$folder/quiltool.exe" --version | tr -d '\r')
grep -q '^quiltool ' <<<"$version" || fail "installed quiltool.exe --version said: $version"
echo "installed: $version"

# The uninstaller copies itself away and returns at once: wait for its work.
"$wine" "$folder/uninstall.exe" /S || fail "the silent uninstall exited $?"
for _ in $(seq 300); do
  [ -e "$drive/Program Files/Velk" ] || break
  sleep 0.1
done
[ ! -e "$drive/Program Files/Velk" ] || fail "left behind: $(find "$drive/Program Files/Velk")"
[ ! -e "$menu" ] || fail "the Start-menu folder is left behind"
if "$wine" reg query "$key" >/dev/null 2>&1; then fail "the uninstall key is left behind"; fi
echo "Windows installer: silent install, installed quiltool.exe --version, silent uninstall: passed"
