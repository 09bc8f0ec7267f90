#!/usr/bin/env bash
# Stops the wineserver (and with it every Wine process) of one prefix.
set -u
export WINEPREFIX="$1"
/usr/lib/wine/wineserver -k >/dev/null 2>&1
exit 0
