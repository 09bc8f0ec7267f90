# Publishes Dante devices through the avahi-daemon on DBUS_SYSTEM_BUS_ADDRESS
# and stays until it is stopped. The maker's "Velk" subtype is a raw PTR
# record (avahi-publish takes only "_" subtypes); one entry group per device
# (the daemon limits the entries of a group).
#   --good N      quil-01 .. quil-N, good devices at 10.77.0.101 ..
#   --bad         eight devices carrying the subtype that cannot be resolved:
#                 TXT keys missing, conmon only, host without an address
#   --unfiltered  other-1, a good device without the subtype
import argparse
import signal

import dbus

IF_UNSPEC, PROTO_INET, NO_REVERSE = -1, 0, 16
ARC, CMC = "_netaudio-arc._udp", "_netaudio-cmc._udp"
VERSIONS = ("arcp_vers=2.7.0", "router_vers=4.0.2")

parser = argparse.ArgumentParser()
parser.add_argument("--good", type=int, default=0)
parser.add_argument("--bad", action="store_true")
parser.add_argument("--unfiltered", action="store_true")
options = parser.parse_args()

bus = dbus.SystemBus()
server = dbus.Interface(bus.get_object("org.freedesktop.Avahi", "/"), "org.freedesktop.Avahi.Server")
groups = []


def wire(*labels):
    return b"".join(bytes([len(label)]) + label.encode() for label in labels) + b"\0"


def device(name, service, address, pairs, subtype=True, host=None):
    host = host or name + ".local"
    group = dbus.Interface(bus.get_object("org.freedesktop.Avahi", server.EntryGroupNew()),
                           "org.freedesktop.Avahi.EntryGroup")
    groups.append(group)
    if address:
        group.AddAddress(IF_UNSPEC, PROTO_INET, dbus.UInt32(NO_REVERSE), host, address)
    txt = [dbus.Array([dbus.Byte(b) for b in p.encode()], signature="y") for p in pairs]
    port = 4440 if service == ARC else 8800
    group.AddService(IF_UNSPEC, PROTO_INET, dbus.UInt32(0), name, service, "", host, dbus.UInt16(port), txt)
    if subtype:
        data = wire(name, *service.split("."), "local")
        group.AddRecord(IF_UNSPEC, PROTO_INET, dbus.UInt32(0), "Velk._sub.%s.local" % service, dbus.UInt16(1),
                        dbus.UInt16(12), dbus.UInt32(120), dbus.Array([dbus.Byte(b) for b in data], signature="y"))
    group.Commit()


for i in range(1, options.good + 1):
    device("quil-%02d" % i, ARC, "10.77.0.%d" % (100 + i), VERSIONS)
if options.bad:
    device("bad-noarcp", ARC, "10.77.0.121", ("router_vers=4.0.2",))
    device("bad-norouter", ARC, "10.77.0.122", ("arcp_vers=2.7.0",))
    device("bad-notxt", ARC, "10.77.0.123", ())
    device("bad-conmon-1", CMC, "10.77.0.124", ("id=001dc1fffe000001", "process=1"))
    device("bad-conmon-2", CMC, "10.77.0.125", ("id=001dc1fffe000002", "process=1"))
    for i in range(1, 4):
        device("bad-ghost-%d" % i, ARC, None, VERSIONS, host="ghost-%d.local" % i)
if options.unfiltered:
    device("other-1", ARC, "10.77.0.130", VERSIONS, subtype=False)
print("published", flush=True)
signal.pause()
