# Sourced by the tests that run a real avahi-daemon in private network
# namespaces: skipping with a reason, the processes and namespaces to stop,
# and a private D-Bus with an avahi-daemon for one namespace.
#
# The sourcing script sets `work` (its scratch folder) and adds namespaces
# to `namespaces` and started processes to `pids`; `cleanup_netns` stops and
# deletes them all.

skip() {
  echo "skipped: $*"
  exit 77
}

# Debian's interpreter, where python3-dbus lives, even under another python3.
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3 || echo python3)

pids=()
namespaces=()

cleanup_netns() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    alive=0
    for p in "${pids[@]}"; do
      # A zombie whose parent has gone counts as stopped.
      state=$(awk '{print $3}' "/proc/$p/stat" 2>/dev/null || true)
      [ -n "$state" ] && [ "$state" != Z ] && alive=1
    done
    [ $alive = 0 ] && break
    sleep 0.1
  done
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work"
}

# Namespaces $1 (a server, 10.77.0.2 on interface $3) and $2 (a client,
# 10.77.0.1 on interface $4) joined by a veth pair made inside the first, so
# that nothing is attached to the root namespace; skips where it cannot.
join_namespaces() {
  local server=$1 client=$2 serverif=$3 clientif=$4
  ip netns add "$server" 2>/dev/null || skip "cannot create a network namespace here"
  namespaces+=("$server")
  ip netns add "$client" || skip "cannot create a second network namespace"
  namespaces+=("$client")
  ip -n "$server" link set lo up && ip -n "$client" link set lo up || skip "cannot bring up loopback in the namespaces"
  ip -n "$server" link add "$serverif" type veth peer name "$clientif" netns "$client" || skip "cannot create a veth pair"
  ip -n "$server" addr add 10.77.0.2/24 dev "$serverif"
  ip -n "$client" addr add 10.77.0.1/24 dev "$clientif"
  ip -n "$server" link set "$serverif" up
  ip -n "$client" link set "$clientif" up
}

# The D-Bus address of namespace $1's private bus (once start_daemons ran).
bus_address() { echo "unix:path=$work/$1/bus"; }

# A private D-Bus and avahi-daemon for namespace $1 on interface $2; returns
# once the daemon answers on its bus.
start_daemons() {
  local ns=$1 ifname=$2 dir=$work/$1
  mkdir -p "$dir"
  cat > "$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
  ip netns exec "$ns" dbus-daemon --config-file="$dir/bus.conf" --fork --print-pid > "$dir/dbus.pid" ||
    skip "cannot start a private D-Bus"
  pids+=("$(head -n 1 "$dir/dbus.pid")")
  cat > "$dir/avahi.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=$ifname
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
  start_avahi "$ns" || {
    cat "$dir/avahi.log"
    echo "FAIL: avahi-daemon in $ns did not become ready"
    exit 1
  }
}

# (Re)starts namespace $1's avahi-daemon (start_daemons made its bus and
# configuration); returns once it answers on its bus as running, or with $2
# "registering" as soon as it registers its host name (it browses already),
# 1 when it does not.
start_avahi() {
  local ns=$1 dir=$work/$1 states=2
  [ "${2:-}" = registering ] && states=12
  mkdir -p /run/avahi-daemon
  # Its own tmpfs on the daemon's fixed pid-file folder, in a mount
  # namespace of its own, so that it never meets another daemon's.
  ip netns exec "$ns" env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus" sh -c "mount -n -t tmpfs -o size=1m tmpfs /run/avahi-daemon && exec avahi-daemon -f '$dir/avahi.conf' --no-drop-root --no-chroot --no-proc-title --no-rlimits" \
    > "$dir/avahi.log" 2>&1 &
  echo $! > "$dir/avahi.pid"
  pids+=($!)
  for _ in $(seq 1 50); do
    if ip netns exec "$ns" env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus" dbus-send --system \
         --print-reply=literal --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState 2>/dev/null |
         grep -q "int32 [$states]"; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# Stops namespace $1's avahi-daemon and waits until it has gone.
stop_avahi() {
  local pid
  pid=$(cat "$work/$1/avahi.pid")
  kill "$pid" 2>/dev/null
  for _ in $(seq 1 50); do
    [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || echo Z)" = Z ] && return 0
    sleep 0.1
  done
}
