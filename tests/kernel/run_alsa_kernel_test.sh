#!/usr/bin/env bash
# The programs against the real ALSA sequencer: Debian's kernel boots in QEMU
# with a small initramfs, an emulated USB bus (dummy_hcd) carries a USB-MIDI
# gadget named "Quil USB MIDI 1", quil-sim serves the first built-in Quil on
# the gadget's rawmidi side, and quiltool and quilupdate find, identify and
# update it through the sequencer port the kernel makes of the device. The
# update sends a 1 MiB image, and the test prints its time per packet next
# to the raw round trip of one request over the same port (before and after
# the update), and how many answers come back for a burst of requests larger
# than the device's buffer, sent straight to the sequencer and through the
# program's link.
#
# usage: run_alsa_kernel_test.sh BUILD_DIR
# Exits 0 on success, 1 on failure, 77 (with "skipped: <reason>") where QEMU
# or the kernel cannot be had.
set -euo pipefail

build=$(cd "${1:?usage: run_alsa_kernel_test.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")/../.." && pwd)
kernel_package=${QUIL_KERNEL_PACKAGE:-linux-image-6.1.0-57-amd64}
kernel_cache=${QUIL_KERNEL_CACHE:-$here/.cache/kernel}
skip=77

skipped() {
  echo "skipped: $*"
  exit "$skip"
}

qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skipped "qemu-system-x86_64 is not installed (package qemu-system-x86)"
busybox=/bin/busybox
if ! [ -x "$busybox" ] || ldd "$busybox" >/dev/null 2>&1; then
  skipped "a static busybox is not installed (package busybox-static)"
fi
command -v cpio >/dev/null || skipped "cpio is not installed"
programs="tools/quiltool tools/quil-sim ui/quilupdate tests/midi_port_timing"
for program in $programs; do
  [ -x "$build/$program" ] || skipped "$build/$program has not been built"
done

deb=$(ls "$kernel_cache/${kernel_package}"_*.deb 2>/dev/null | head -1 || true)
if [ -z "$deb" ]; then
  mkdir -p "$kernel_cache"
  (cd "$kernel_cache" && apt-get download -qq "$kernel_package" >/dev/null 2>&1) || true
  deb=$(ls "$kernel_cache/${kernel_package}"_*.deb 2>/dev/null | head -1 || true)
  [ -n "$deb" ] || skipped "the kernel package $kernel_package cannot be fetched"
fi

work=$(mktemp -d /tmp/quil-kernel-test.XXXXXX)
qemu_pid=
cleanup() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

started=$(date +%s)
dpkg-deb -x "$deb" "$work/kernel"
version=$(ls "$work/kernel/lib/modules" | head -1)
vmlinuz="$work/kernel/boot/vmlinuz-$version"
[ -f "$vmlinuz" ] || skipped "$deb holds no kernel image"

root="$work/root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules,etc}
cp "$busybox" "$root/bin/busybox"

# Modules in load order: the sequencer and rawmidi, USB and the emulated
# bus, the gadget's MIDI function, and the USB-MIDI driver of the host side.
modules=(soundcore snd snd-timer snd-hrtimer snd-seq-device snd-seq snd-rawmidi snd-seq-midi-event
  snd-seq-midi snd-pcm snd-hwdep mc usb-common usbcore udc-core dummy_hcd configfs libcomposite
  usb_f_midi snd-usbmidi-lib snd-usb-audio)
for m in "${modules[@]}"; do
  file=$(find "$work/kernel/lib/modules/$version/kernel" -name "$m.ko" | head -1)
  [ -n "$file" ] || { echo "kernel test: module $m is missing from $deb"; exit 1; }
  cp "$file" "$root/modules/"
  echo "$m" >>"$root/modules/order"
done

# The programs with every library they load, and the sequencer's configuration.
for program in $programs; do
  cp "$build/$program" "$root/bin/"
  ldd "$build/$program" | grep -o '/[^ ]*' | while read -r lib; do
    cp -L --parents "$lib" "$root/"
  done
done
cp -r --parents /usr/share/alsa "$root/"

cat >"$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin HOME=/tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
result=PASS
step() {
  name=$1
  shift
  echo "KERNEL-TEST: running $name"
  if "$@"; then echo "KERNEL-TEST: $name ok"; else echo "KERNEL-TEST: $name FAILED"; result=FAIL; fi
}
echo "KERNEL-TEST: kernel $(uname -r)"
for m in $(cat /modules/order); do insmod "/modules/$m.ko" || echo "KERNEL-TEST: insmod $m failed"; done

gadget() {
  mount -t configfs none /sys/kernel/config || return 1
  g=/sys/kernel/config/usb_gadget/quil
  mkdir "$g" && echo 0x1d6b >"$g/idVendor" && echo 0x0104 >"$g/idProduct" &&
    mkdir "$g/strings/0x409" && echo "Quil USB MIDI 1" >"$g/strings/0x409/product" &&
    echo "Quil" >"$g/strings/0x409/manufacturer" &&
    mkdir "$g/functions/midi.usb0" "$g/configs/c.1" &&
    ln -s "$g/functions/midi.usb0" "$g/configs/c.1/" &&
    echo dummy_udc.0 >"$g/UDC" || return 1
  i=0
  while [ $i -lt 100 ]; do
    if grep -q "MIDI Gadget" /proc/asound/cards && grep -q "Quil USB MIDI 1" /proc/asound/cards; then
      cat /proc/asound/cards
      return 0
    fi
    sleep 0.1
    i=$((i + 1))
  done
  cat /proc/asound/cards
  return 1
}
step gadget gadget
card=$(awk '/MIDI Gadget/ { print $1; exit }' /proc/asound/cards)
device=/dev/snd/midiC${card}D0
echo "KERNEL-TEST: unit served on $device"

cd /tmp
quil-sim --rawmidi "$device" --sim-state /tmp/state >/tmp/sim.log 2>&1 &
sim=$!
sleep 1

probe() {
  quiltool probe >/tmp/probe.txt 2>&1
  rc=$?
  cat /tmp/probe.txt
  [ $rc -eq 0 ] && grep -q "Quil USB MIDI 1 MIDI 1" /tmp/probe.txt
}
identify() {
  quiltool identify >/tmp/identify.txt 2>&1
  rc=$?
  cat /tmp/identify.txt
  [ $rc -eq 0 ] && grep -q "3118220001" /tmp/identify.txt
}
timing() {
  midi_port_timing round-trip "Quil USB MIDI 1" 200 && midi_port_timing burst "Quil USB MIDI 1" 1024 &&
    midi_port_timing link-burst "Quil USB MIDI 1" 1024
}
image_size=1048576
update() {
  { printf '\377\377\377\377\377\377\377\377\377\377\377\377\377\377\377\377\252\231\125\146'
    head -c $((image_size - 20)) /dev/urandom; } >/tmp/QUIL0900A.BIN
  quilupdate --console --update --yes FILE=/tmp/QUIL0900A.BIN </dev/null >/tmp/update.txt 2>&1
  rc=$?
  tail -n 8 /tmp/update.txt
  echo "quilupdate exit status $rc"
  packets=$(((image_size + 127) / 128))
  grep -o 'Download took: [0-9:.]*' /tmp/QuilUpdate.log | tail -1 |
    awk -v p=$packets -F'[ :]+' '{ ms = (($3 * 60 + $4) * 60 + $5) * 1000; printf "per packet: %.3f ms (%d packets in %.1f s)\n", ms / p, p, ms / 1000 }'
  [ $rc -eq 0 ]
}
stop_sim() {
  kill -TERM "$sim"
  wait "$sim"
  rc=$?
  cat /tmp/sim.log
  [ $rc -eq 0 ]
}
bank() {
  [ -f /tmp/state/3118220001/bank2.bin ] &&
    cmp /tmp/state/3118220001/bank2.bin /tmp/QUIL0900A.BIN
}
step "quiltool probe" probe
step "quiltool identify" identify
step "port timing" timing
step "quilupdate update" update
step "round trip after the update" midi_port_timing round-trip "Quil USB MIDI 1" 200
step "quil-sim stop" stop_sim
step "bank 2 holds the image" bank
if [ -f /tmp/QuilUpdate.log ]; then
  echo "KERNEL-TEST: log"
  tail -n 40 /tmp/QuilUpdate.log
fi
echo "KERNEL-TEST: RESULT $result"
poweroff -f
INIT
chmod +x "$root/init"

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

echo "kernel test: booting $kernel_package ($version) in QEMU"
console="$work/console.txt"
timeout --kill-after=10 "${QUIL_KERNEL_TEST_TIMEOUT:-900}" \
  "$qemu" -accel tcg -m 768 -smp 1 -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
  -append 'console=ttyS0 quiet panic=-1' </dev/null >"$console" 2>&1 &
qemu_pid=$!
wait "$qemu_pid" || true
qemu_pid=
tr -d '\r' <"$console" | grep -v '^$' | sed 's/^/  guest: /' || true
tr -d '\r' <"$console" | grep -E '^(raw round trip|per packet|(unpaced|link) burst)' | sed 's/^/kernel test: /' || true

elapsed=$(($(date +%s) - started))
ran_on=$(tr -d '\r' <"$console" | grep -o 'KERNEL-TEST: kernel [^ ]*' | head -1 | cut -d' ' -f3)
echo "kernel test: ran on kernel ${ran_on:-unknown} in ${elapsed} s"
if tr -d '\r' <"$console" | grep -q 'KERNEL-TEST: RESULT PASS$'; then
  echo "kernel test: passed"
  exit 0
fi
echo "kernel test: FAILED"
exit 1
