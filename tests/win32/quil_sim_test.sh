#!/usr/bin/env bash
# quil-sim.exe under Wine, as a test harness runs it: its help, version and
# usage errors; raw MIDI devices and publishing refused as Linux's; the Dante
# unit served over UDP on loopback, answering a discovery probe, until a stop
# request, after which it saves its unit into the state folder and exits 0.
# The request is a SIGINT to the Wine process, which Wine hands to the program
# as its console's Ctrl-C: the event a user's Ctrl-C gives.
#   quil_sim_test.sh WINE-RUN BUILD_DIR
set -euo pipefail
wine=$1
build=$2
sim=$build/tools/quil-sim.exe
# Wine binds a UDP socket bound to any other loopback address to every
# address, and sends from 127.0.0.1: the unit is served there (the test runs
# alone, since other tests' units take the same ports).
address=127.0.0.1
work=$(mktemp -d)
simpid=
cleanup() {
  if [ -n "$simpid" ]; then kill -KILL "$simpid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }
windows_path() { echo "Z:${1//\//\\}"; }

# says CODE TEXT ARGS...: quil-sim ARGS exits CODE and prints TEXT.
says() {
  local code=$1 text=$2 status=0
  shift 2
  "$wine" "$sim" "$@" >"$work/out" 2>&1 </dev/null || status=$?
  [ "$status" = "$code" ] || fail "quil-sim $* exited $status, not $code: $(cat "$work/out")"
  grep -qF -- "$text" "$work/out" || fail "quil-sim $* did not say \"$text\": $(cat "$work/out")"
}
says 0 "usage: quil-sim --rawmidi DEVICE" --help
says 0 "Ctrl-C" --help
says 0 "quil-sim (Quil Firmware Update) " --version
says 2 "usage: quil-sim" --dante
says 2 "usage: quil-sim" --rawmidi COM3 --dante $address
says 2 "quil-sim: raw MIDI devices are served on Linux only; serve the units over UDP with --dante" --rawmidi COM3
says 2 "quil-sim: --advertise is offered on Linux only (it publishes through avahi-daemon)" \
  --dante $address --advertise
says 1 "quil-sim: bad address 'nowhere'" --dante nowhere

"$wine" "$sim" --dante $address --sim-state "$(windows_path "$work/state")" \
  >"$work/sim.out" 2>"$work/sim.err" </dev/null &
simpid=$!
for _ in $(seq 300); do
  grep -q "quil-sim: unit" "$work/sim.out" && break
  kill -0 "$simpid" 2>/dev/null || fail "quil-sim ended: $(cat "$work/sim.out" "$work/sim.err")"
  sleep 0.1
done
serial=$(sed -n "s/^quil-sim: unit \([0-9]*\) on $address.*/\1/p" "$work/sim.out")
[ -n "$serial" ] || fail "quil-sim did not say which unit it serves: $(cat "$work/sim.out" "$work/sim.err")"

# A discovery probe for output 5 from the host's reply port; the unit answers
# there with the output's number.
python3 - "$address" <<'EOF' || fail "no answer to the probe: $(cat "$work/sim.err")"
import socket, sys
address = sys.argv[1]
host = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
host.bind((address, 5646))
host.settimeout(30)
host.sendto(bytes([0xF0, 0x00, 0x01, 0x54, 0x6A, 0x14, 0x00, 0xF7]), (address, 5645))
answer = host.recv(64)
register = ((answer[4] & 0x07) << 5) | ((answer[5] >> 2) & 0x1F)
if len(answer) != 10 or answer[:4] != bytes([0xF0, 0x00, 0x01, 0x54]) or register != 0x45:
    sys.exit("unexpected answer " + answer.hex())
EOF

kill -INT "$simpid"
for _ in $(seq 300); do
  kill -0 "$simpid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$simpid" 2>/dev/null && fail "quil-sim did not stop on Ctrl-C"
status=0
wait "$simpid" || status=$?
simpid=
[ "$status" = 0 ] || fail "quil-sim exited $status after Ctrl-C: $(cat "$work/sim.err")"
grep -q "quil-sim: units saved in" "$work/sim.out" || fail "quil-sim did not say it saved: $(cat "$work/sim.out")"
[ -d "$work/state/$serial" ] || fail "the state folder has no $serial: $(ls -R "$work/state" 2>&1)"

echo "quil-sim.exe: help, version, usage errors, Linux-only options refused, unit $serial served and saved on Ctrl-C: passed"
