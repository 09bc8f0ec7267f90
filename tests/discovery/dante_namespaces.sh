#!/usr/bin/env bash
# The Dante link end to end over real mDNS: two private network namespaces
# joined by a veth pair, each with its own D-Bus and avahi-daemon. quil-sim
# serves the VX-DANTE Quil at 10.77.0.2 and publishes it with the maker's
# subtype; a second device is published at 10.77.0.3 without the subtype,
# and eight with the subtype that cannot be resolved beside them.
# quilupdate in the other namespace must list the unit and its card, and
# update the card so that the image lies in the virtual card's store.
# Everything started here is stopped here, and both namespaces are deleted.
set -u
quilsim=${1:?usage: dante_namespaces.sh QUIL-SIM QUILUPDATE QUILTOOL}
quilupdate=${2:?usage: dante_namespaces.sh QUIL-SIM QUILUPDATE QUILTOOL}
quiltool=${3:?usage: dante_namespaces.sh QUIL-SIM QUILUPDATE QUILTOOL}

. "$(dirname "$0")/netns_daemons.sh"
[ "$(id -u)" = 0 ] || skip "needs root for network namespaces"
for tool in ip dbus-daemon dbus-send avahi-daemon avahi-publish "$python"; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
ldconfig -p | grep -q 'libavahi-client.so.3 ' || skip "libavahi-client.so.3 (libavahi-client3) is not installed"
"$python" -c 'import dbus' 2>/dev/null || skip "python3-dbus is not installed"
# The probe reaches no daemon of the machine's (its bus is nowhere), so that it
# ends at once, advertising nothing, whether or not the library is there.
DBUS_SYSTEM_BUS_ADDRESS=unix:path=/dev/null/no-bus "$quilsim" --dante 127.0.0.1 --advertise 2>&1 |
  grep -q 'no Avahi client library' &&
  skip "quil-sim was built without Avahi's client library"

server=quil-dante-s-$$
client=quil-dante-c-$$
work=$(mktemp -d)
simpid=
trap cleanup_netns EXIT

join_namespaces "$server" "$client" vq0 vq1
ip -n "$server" addr add 10.77.0.3/24 dev vq0

start_daemons "$server" vq0
start_daemons "$client" vq1
serverbus=$(bus_address "$server")
clientbus=$(bus_address "$client")

mkdir -p "$work/state"
ip netns exec "$server" env DBUS_SYSTEM_BUS_ADDRESS="$serverbus" \
  "$quilsim" --dante 10.77.0.2 --advertise --sim-state "$work/state" > "$work/sim.out" 2> "$work/sim.err" &
simpid=$!
pids+=($simpid)
# The device without the subtype, on an address of its own.
ip netns exec "$server" env DBUS_SYSTEM_BUS_ADDRESS="$serverbus" avahi-publish -a -R other-1.local 10.77.0.3 \
  > "$work/pub-a.log" 2>&1 &
pids+=($!)
ip netns exec "$server" env DBUS_SYSTEM_BUS_ADDRESS="$serverbus" avahi-publish -s -H other-1.local other-1 \
  _netaudio-arc._udp 4440 arcp_vers=2.7.0 router_vers=4.0.2 > "$work/pub-s.log" 2>&1 &
pids+=($!)
# Devices that cannot be resolved must not keep the unit from being found.
ip netns exec "$server" env DBUS_SYSTEM_BUS_ADDRESS="$serverbus" "$python" "$(dirname "$0")/publish_devices.py" --bad \
  > "$work/pub-bad.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do grep -q published "$work/pub-bad.log" && break; sleep 0.1; done
grep -q published "$work/pub-bad.log" || { cat "$work/pub-bad.log"; echo "FAIL: could not publish"; exit 1; }
for _ in $(seq 1 50); do grep -q advertised "$work/sim.out" && break; sleep 0.1; done
grep -q advertised "$work/sim.out" || { cat "$work/sim.out" "$work/sim.err"; echo "FAIL: quil-sim did not advertise"; exit 1; }
sleep 2  # probing and announcing across the pair

failed=0
run_client() {
  (cd "$work" && ip netns exec "$client" env DBUS_SYSTEM_BUS_ADDRESS="$clientbus" AVAHI_COMPAT_NOWARN=1 \
     QT_QPA_PLATFORM=offscreen ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$@")
}
run_client "$quilupdate" --console --unit 1 --update --yes > "$work/out" 2> "$work/err" < /dev/null
code=$?
echo "quilupdate exited $code:"
cat "$work/out"
if [ $code != 0 ]; then cat "$work/err"; failed=1; fi
grep -q '0  Quil connected via Dante (10.77.0.2)$' "$work/out" || { echo "FAIL: the unit is not listed"; failed=1; }
grep -q '1  VX-DANTE in Quil connected via Dante (10.77.0.2)$' "$work/out" || { echo "FAIL: the card is not listed"; failed=1; }
if grep -q '10\.77\.0\.3\|^ *[* ] 2  ' "$work/out"; then echo "FAIL: the device without the subtype was listed"; failed=1; fi

kill -TERM "$simpid"
for _ in $(seq 1 50); do kill -0 "$simpid" 2>/dev/null || break; sleep 0.1; done
wait "$simpid"
simcode=$?
[ $simcode = 0 ] || { cat "$work/sim.err"; echo "FAIL: quil-sim exited $simcode"; failed=1; }

"$quiltool" extract VXDNT0102NC.BIN "$work/image.bin" > /dev/null || { echo "FAIL: quiltool extract"; failed=1; }
"$python" - "$work/image.bin" "$work/state/3118220001/card.bin" <<'PY' || failed=1
import sys
image = open(sys.argv[1], "rb").read()
try:
    card = open(sys.argv[2], "rb").read()
except OSError as e:
    sys.exit("FAIL: no card store: %s" % e)
padded = -(-len(image) // 128) * 128
if len(card) != padded or card[:len(image)] != image or card[len(image):].strip(b"\0"):
    sys.exit("FAIL: the card store holds %d bytes, not the %d-byte image and its padding" % (len(card), len(image)))
print("card store holds the image (%d bytes)" % len(image))
PY
[ $failed = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $failed
