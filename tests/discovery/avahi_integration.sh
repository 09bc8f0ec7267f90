#!/usr/bin/env bash
# quiltool browse against real avahi-daemons: two private network namespaces
# joined by a veth pair, each with its own D-Bus and daemon. The server
# publishes 10 good devices with the maker's subtype, 8 with the subtype that
# cannot be resolved (TXT keys missing, conmon only, hosts without an address
# record) and one good device without the subtype.
#  1. The default window lists all 10 good devices and nothing else, within
#     the window plus one resolve limit; also through libdns_sd.so.1 when
#     Avahi's client library is not there (and the compatibility library is).
#  2. The client's daemon is stopped in the middle of a browse 10 times: never
#     a crash, nothing on stderr but quiltool's own lines, never a device that
#     should not be there. In 7 runs the daemon stays away (exit 1, the list
#     as far as it got, "not running"); in 3 it comes back at once and the
#     browse recovers (exit 0, all 10).
# Everything started here is stopped here, and both namespaces are deleted.
set -u
quiltool=${1:?usage: avahi_integration.sh QUILTOOL}
here=$(dirname "$0")

. "$here/netns_daemons.sh"
[ "$(id -u)" = 0 ] || skip "needs root for network namespaces"
for tool in ip dbus-daemon dbus-send avahi-daemon "$python"; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
"$python" -c 'import dbus' 2>/dev/null || skip "python3-dbus is not installed"
ldconfig -p | grep -q 'libavahi-client.so.3 ' || skip "libavahi-client.so.3 (libavahi-client3) is not installed"

server=quil-disc-s-$$
client=quil-disc-c-$$
work=$(mktemp -d)
trap cleanup_netns EXIT

join_namespaces "$server" "$client" vd0 vd1
start_daemons "$server" vd0
start_daemons "$client" vd1

ip netns exec "$server" env DBUS_SYSTEM_BUS_ADDRESS="$(bus_address "$server")" \
  "$python" "$here/publish_devices.py" --good 10 --bad --unfiltered > "$work/publish.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do grep -q published "$work/publish.log" && break; sleep 0.1; done
grep -q published "$work/publish.log" || { cat "$work/publish.log"; echo "FAIL: could not publish"; exit 1; }
sleep 1  # probing and announcing

good=$(for i in $(seq -w 1 10); do echo "device quil-$i address=10.77.0.1$i port=4440"; done | sort)
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Runs quiltool browse ARGS in the client namespace, with the variables of
# `extra_env`, into $work/out and $work/err.
extra_env=()
browse() {
  # Avahi's client library and libdbus keep allocations past their
  # unloading; under a sanitizer build the leak report would be theirs.
  ip netns exec "$client" env DBUS_SYSTEM_BUS_ADDRESS="$(bus_address "$client")" "${extra_env[@]}" \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$quiltool" browse "$@" > "$work/out" 2> "$work/err"
}

# What every run must show: no crash, only quiltool's lines on stderr, and
# only good devices listed.
check_run() {
  local label=$1
  [ "$code" -lt 128 ] || fail "$label: quiltool died of signal $((code - 128))"
  if grep -qv '^quiltool: ' "$work/err"; then fail "$label: foreign lines on stderr:"; cat "$work/err"; fi
  if [ -n "$(comm -23 <(sort "$work/out") <(echo "$good"))" ]; then fail "$label: listed what it should not:"; cat "$work/out"; fi
}

start=$(date +%s%N)
browse; code=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
echo "default window: exit $code after $elapsed ms, $(wc -l < "$work/out") listed:"
cat "$work/out"
check_run "default window"
[ $code = 0 ] || { fail "default window: exit $code"; cat "$work/err"; }
[ "$(sort "$work/out")" = "$good" ] || fail "default window: not the 10 good devices"
# The window (1 s) plus one resolve limit (3 s), with room for a loaded machine.
[ "$elapsed" -lt 6000 ] || fail "default window: took $elapsed ms"

if ldconfig -p | grep -q 'libdns_sd.so.1 '; then
  extra_env=(QUIL_LIBRARY_REDIRECT=libavahi-client.so.3=/nonexistent/libavahi-client.so.3)
  browse; code=$?
  extra_env=()
  echo "through libdns_sd.so.1: exit $code, $(wc -l < "$work/out") listed, $(wc -l < "$work/err") lines on stderr"
  [ $code = 0 ] && [ "$(sort "$work/out")" = "$good" ] || fail "through libdns_sd.so.1: not the 10 good devices"
fi

up=1
for run in 1 2 3 4 5 6 7 8 9 10; do
  if [ $up = 0 ]; then
    start_avahi "$client" registering || { fail "run $run: the daemon did not come back"; break; }
  fi
  recover=$([ $run -gt 7 ] && echo 1 || echo 0)
  delay=$(awk -v r=$run 'BEGIN { printf "%.2f", 0.1 + (r * 0.37 % 0.8) }')
  if [ $recover = 1 ]; then browse --seconds 3 & else browse & fi
  browser=$!
  sleep "$delay"
  stop_avahi "$client"
  up=0
  if [ $recover = 1 ]; then
    start_avahi "$client" registering && up=1 || fail "run $run: the daemon did not restart"
  fi
  wait $browser; code=$?
  echo "run $run: daemon stopped after ${delay} s$([ $recover = 1 ] && echo ' and restarted'): exit $code," \
    "$(wc -l < "$work/out") listed; $(tr '\n' ' ' < "$work/err")"
  check_run "run $run"
  if [ $recover = 1 ]; then
    [ $code = 0 ] && [ "$(sort "$work/out")" = "$good" ] || fail "run $run: the browse did not recover"
  else
    [ $code = 1 ] && grep -q '^quiltool: browse: the DNS-SD daemon is not running' "$work/err" ||
      fail "run $run: no clear error"
  fi
done

[ $failed = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $failed
