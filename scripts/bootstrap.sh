#!/usr/bin/env bash
# Installs every system package the build, the tests and the program need on a
# fresh Debian 12 machine. Quiet and quick when everything is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev libgl-dev
  libasound2-dev
  libavahi-compat-libdnssd1 libavahi-client3 libavahi-client-dev avahi-daemon avahi-utils dbus-daemon dbus-bin iproute2 python3-dbus
  fonts-wine
  mscompress 7zip
  desktop-file-utils appstream dpkg-dev
  qemu-system-x86 busybox-static cpio
)

"$(dirname "$0")/install-packages.sh" bootstrap "${packages[@]}"

# The kernel the sequencer test boots in QEMU: fetched, never installed, and
# pinned because the metapackage moves. A fetch that fails (offline machine)
# only makes that test skip.
kernel_package=linux-image-6.1.0-57-amd64
kernel_cache=${QUIL_KERNEL_CACHE:-$(cd "$(dirname "$0")/.." && pwd)/.cache/kernel}
if ! ls "$kernel_cache/$kernel_package"_*.deb >/dev/null 2>&1; then
  mkdir -p "$kernel_cache"
  if ! (cd "$kernel_cache" && apt-get download -qq "$kernel_package" >/dev/null 2>&1); then
    echo "bootstrap: $kernel_package could not be fetched; the kernel test will be skipped"
  fi
fi
