#!/usr/bin/env bash
# quiltool browse against a real avahi-daemon: a private network namespace on
# its loopback only, a private D-Bus, the daemon, and a publisher of two
# devices of which only one carries the maker's "Velk" subtype (a raw PTR
# record, since avahi-publish accepts only "_" subtypes). Everything started
# here is stopped here, and the namespace is deleted.
set -u
quiltool=${1:?usage: avahi_integration.sh QUILTOOL}

. "$(dirname "$0")/netns_daemons.sh"
[ "$(id -u)" = 0 ] || skip "needs root for network namespaces"
for tool in ip dbus-daemon dbus-send avahi-daemon "$python"; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
"$python" -c 'import dbus' 2>/dev/null || skip "python3-dbus is not installed"
ldconfig -p | grep -q 'libdns_sd.so.1 ' || skip "libdns_sd.so.1 (libavahi-compat-libdnssd1) is not installed"

ns=quil-disc-$$
work=$(mktemp -d)
trap cleanup_netns EXIT

ip netns add "$ns" 2>/dev/null || skip "cannot create a network namespace here"
namespaces+=("$ns")
ip -n "$ns" link set lo up || skip "cannot bring up loopback in the namespace"
start_daemons "$ns" lo
export DBUS_SYSTEM_BUS_ADDRESS=$(bus_address "$ns")

cat > "$work/publish.py" <<'PY'
import dbus, signal, sys
bus = dbus.SystemBus()
server = dbus.Interface(bus.get_object("org.freedesktop.Avahi", "/"), "org.freedesktop.Avahi.Server")
group = dbus.Interface(bus.get_object("org.freedesktop.Avahi", server.EntryGroupNew()),
                       "org.freedesktop.Avahi.EntryGroup")
def txt(*pairs):
    return [dbus.Array([dbus.Byte(b) for b in p.encode()], signature="y") for p in pairs]
for name in ("quil-1", "other-1"):
    group.AddService(-1, 0, dbus.UInt32(0), name, "_netaudio-arc._udp", "", "", dbus.UInt16(4440),
                     txt("arcp_vers=2.7.0", "router_vers=4.0.2"))
wire = b"".join(bytes([len(l)]) + l.encode() for l in ("quil-1", "_netaudio-arc", "_udp", "local")) + b"\0"
group.AddRecord(-1, 0, dbus.UInt32(0), "Velk._sub._netaudio-arc._udp.local", dbus.UInt16(1), dbus.UInt16(12),
                dbus.UInt32(120), dbus.Array([dbus.Byte(b) for b in wire], signature="y"))
group.Commit()
print("published", flush=True)
signal.pause()
PY
ip netns exec "$ns" "$python" "$work/publish.py" > "$work/publish.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do grep -q published "$work/publish.log" && break; sleep 0.1; done
grep -q published "$work/publish.log" || { cat "$work/publish.log"; echo "FAIL: could not publish"; exit 1; }
sleep 1  # probing and announcing

# Avahi's client library and libdbus keep allocations past their unloading;
# under a sanitizer build the leak report would be theirs, not ours (our own
# code is leak-checked on the fake library).
ip netns exec "$ns" env AVAHI_COMPAT_NOWARN=1 ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$quiltool" browse --seconds 3 > "$work/out" 2> "$work/err"
code=$?
echo "quiltool browse exited $code:"
cat "$work/out"
failed=0
if [ $code != 0 ]; then cat "$work/err"; failed=1; fi
grep -qx 'device quil-1 address=127.0.0.1 port=4440' "$work/out" || { echo "FAIL: quil-1 not listed with its address"; failed=1; }
if grep -q other-1 "$work/out"; then echo "FAIL: the device without the subtype was listed"; failed=1; fi
[ $failed = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $failed
