#!/usr/bin/env bash
# Builds the Debian package from a finished build folder, unpacks it into a
# scratch root and checks what a user would get: the file list, the computed
# dependencies, the desktop and metainfo validators and the installed program.
#   package_test.sh BUILD_DIR APP_ID
set -euo pipefail
build=$1
app=$2

for tool in cpack dpkg-deb dpkg-shlibdeps desktop-file-validate appstreamcli; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (scripts/bootstrap.sh installs it)"
    exit 77
  fi
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || {
  cat "$scratch/cpack.log"
  exit 1
}
deb=$(find "$scratch/out" -maxdepth 1 -name '*.deb' | head -n 1)
[ -n "$deb" ] || { echo "no .deb was made"; exit 1; }
echo "package: $(basename "$deb")"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
failed=0
for file in usr/bin/quilupdate usr/bin/quiltool usr/bin/quil-sim \
            "usr/share/applications/$app.desktop" "usr/share/metainfo/$app.metainfo.xml" \
            "usr/share/icons/hicolor/48x48/apps/$app.png" "usr/share/icons/hicolor/256x256/apps/$app.png" \
            usr/share/man/man1/quilupdate.1.gz usr/share/man/man1/quiltool.1.gz \
            usr/lib/udev/rules.d/60-quil-driver.rules; do
  if [ ! -s "$root/$file" ]; then
    echo "missing from the package: /$file"
    failed=1
  fi
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libqt6widgets6 libasound2 libc6; do
  case "$depends" in
    *"$needed"*) ;;
    *) echo "computed dependencies lack $needed"; failed=1 ;;
  esac
done

desktop-file-validate "$root/usr/share/applications/$app.desktop" || failed=1
appstreamcli validate --no-net "$root/usr/share/metainfo/$app.metainfo.xml" >"$scratch/appstream.log" 2>&1 || {
  cat "$scratch/appstream.log"
  failed=1
}
for page in quilupdate quiltool; do
  if ! zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q "^.TH ${page^^} 1"; then
    echo "manual page $page is not a section 1 page"
    failed=1
  fi
done

version=$("$root/usr/bin/quilupdate" --version)
echo "installed: $version"
case "$version" in
  "quilupdate (Quil Firmware Update) "*) ;;
  *) echo "the installed quilupdate --version printed: $version"; failed=1 ;;
esac
"$root/usr/bin/quiltool" name QUIL0803C.BIN >/dev/null || failed=1
identity=$("$root/usr/bin/quiltool" identify --simulate --json) || failed=1
if ! printf '%s' "$identity" | python3 -c 'import json, sys; sys.exit(0 if any(u.get("serial") == "3118220001" for u in json.load(sys.stdin)) else 1)'; then
  echo "quiltool identify --simulate --json does not name serial 3118220001: $identity"
  failed=1
fi

[ "$failed" = 0 ] && echo "package checks passed"
exit "$failed"
