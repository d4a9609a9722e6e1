#!/bin/bash
# The real NetworkManager, with its VPN plugins, in private network, mount
# and UTS namespaces on a private system bus, for tests. Needs root. (No PID
# namespace: NetworkManager asks the bus who calls it, and a caller outside
# its PID namespace would have no process to name.)
#
#   nm_namespace.sh start DIR [OWNER]
#                                starts it; DIR (an empty folder, short path)
#                                then holds the bus socket
#                                (DIR/bus/system_bus_socket), nm.log and nspid.
#                                A base ethernet connection (veth-a,
#                                10.200.0.1/24, gateway 10.200.0.2) is up, so
#                                VPN activation can be attempted. When the
#                                process OWNER ends without a stop,
#                                everything inside ends within seconds.
#   nm_namespace.sh run DIR CMD  runs CMD inside, on the private bus
#   nm_namespace.sh stop DIR     ends every process started inside, by id
#                                (the namespaces go with the last one)
#
# Nothing is written outside DIR: NetworkManager's profiles, state and run
# folders are tmpfs mounts of the private mount namespace.
set -euo pipefail

cmd=${1:?command}
dir=${2:?folder}

inside() {
  nsenter -t "$(cat "$dir/nspid")" --net --mount --uts -- \
    env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus/system_bus_socket" "$@"
}

case "$cmd" in
start)
  owner=${3:-}
  mkdir -p "$dir/bus" "$dir/nm/conf.d" "$dir/nm/sysconf.d"
  sed -e "s|<listen>[^<]*</listen>|<listen>unix:path=$dir/bus/system_bus_socket</listen>|" \
    -e '/<user>/d' -e '/<fork\/>/d' -e '/<pidfile>/d' -e '/<servicehelper>/d' \
    -e '/<standard_system_servicedirs\/>/d' \
    -e 's|<includedir>system.d</includedir>|<includedir>/usr/share/dbus-1/system.d</includedir>|' \
    -e 's|<includedir>/etc/dbus-1/system.d</includedir>||' \
    /usr/share/dbus-1/system.conf >"$dir/bus/system-bus.conf"
  # /etc/dbus-1/system.d once, absolute.
  sed -i "s|</busconfig>|  <includedir>/etc/dbus-1/system.d</includedir>\n</busconfig>|" \
    "$dir/bus/system-bus.conf"
  cat >"$dir/nm/NetworkManager.conf" <<'EOF'
[main]
plugins=keyfile
dns=none
rc-manager=unmanaged
hostname-mode=none
no-auto-default=*
[logging]
level=DEBUG
EOF
  cat >"$dir/ns-init.sh" <<EOF
#!/bin/bash
hostname varnel-nm-test
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus /run/NetworkManager
mount -t tmpfs tmpfs /var/lib/NetworkManager
mount -t tmpfs tmpfs /etc/NetworkManager/system-connections
cp /etc/resolv.conf "$dir/resolv.conf.ns" && mount --bind "$dir/resolv.conf.ns" /etc/resolv.conf
# A read-only sysfs of this namespace: NetworkManager then manages its
# devices without udev.
mount -t sysfs -o ro sysfs /sys
ip link set lo up
dbus-daemon --config-file="$dir/bus/system-bus.conf" --nofork >"$dir/bus.log" 2>&1 &
for i in \$(seq 1 200); do [ -S "$dir/bus/system_bus_socket" ] && break; sleep 0.05; done
touch /run/dbus/system_bus_socket
mount --bind "$dir/bus/system_bus_socket" /run/dbus/system_bus_socket
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus/system_bus_socket"
NetworkManager --debug --config="$dir/nm/NetworkManager.conf" --config-dir="$dir/nm/conf.d" \
  --system-config-dir="$dir/nm/sysconf.d" >"$dir/nm.log" 2>&1 &
# Stay, and reap what ends, until told to go or until the owner (the test
# process) has gone without saying so: then end everything started here.
trap 'exit 0' TERM
tree() { local p; for p in \$(pgrep -P "\$1"); do tree "\$p"; echo "\$p"; done; }
while [ -z "$owner" ] || kill -0 "$owner" 2>/dev/null; do sleep 1; done
kill -TERM \$(tree \$\$) 2>/dev/null
sleep 2
kill -KILL \$(tree \$\$) 2>/dev/null
exit 0
EOF
  chmod 700 "$dir/ns-init.sh"
  setsid unshare --net --mount --uts --fork "$dir/ns-init.sh" \
    </dev/null >/dev/null 2>&1 &
  outer=$!
  nspid=""
  for _ in $(seq 1 200); do
    nspid=$(pgrep -P "$outer" || true)
    [ -n "$nspid" ] && break
    sleep 0.05
  done
  [ -n "$nspid" ] || { echo "the namespace did not start" >&2; exit 1; }
  echo "$nspid" >"$dir/nspid"
  # NetworkManager up and done starting.
  for _ in $(seq 1 300); do
    if inside nmcli -t -f RUNNING,STARTUP general 2>/dev/null | grep -q '^running:started'; then
      break
    fi
    sleep 0.05
  done
  inside nmcli -t -f RUNNING general | grep -q running ||
    { echo "NetworkManager did not start" >&2; cat "$dir/nm.log" >&2; exit 1; }
  inside ip link add veth-a type veth peer name veth-b
  inside nmcli device set veth-b managed no
  inside ip addr add 10.200.0.2/24 dev veth-b
  inside ip link set veth-b up
  inside nmcli connection add type ethernet con-name base ifname veth-a ipv4.method manual \
    ipv4.addresses 10.200.0.1/24 ipv4.gateway 10.200.0.2 ipv6.method disabled >/dev/null
  inside nmcli connection up base >/dev/null
  echo "address unix:path=$dir/bus/system_bus_socket"
  ;;
run)
  shift 2
  inside "$@"
  ;;
stop)
  if [ -f "$dir/nspid" ]; then
    nspid=$(cat "$dir/nspid")
    # Every process the namespace's first process started, and theirs.
    tree() {
      local p
      for p in $(pgrep -P "$1" || true); do
        tree "$p"
        echo "$p"
      done
    }
    pids=$(tree "$nspid")
    running() { # the given processes that have not ended (zombies have)
      local p
      for p in "$@"; do
        [ -r "/proc/$p/stat" ] && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$p/stat" 2>/dev/null &&
          echo "$p"
      done
      return 0
    }
    # NetworkManager first, so it stops its VPN plugins and their programs.
    [ -n "$pids" ] && kill -TERM $pids 2>/dev/null || true
    for _ in $(seq 1 100); do
      [ -z "$(running $pids)" ] && break
      sleep 0.05
    done
    alive=$(running $pids)
    [ -n "$alive" ] && kill -KILL $alive 2>/dev/null || true
    kill -TERM "$nspid" 2>/dev/null || true
    for _ in $(seq 1 100); do [ -z "$(running "$nspid")" ] && break; sleep 0.05; done
    kill -KILL "$nspid" 2>/dev/null || true
    rm -f "$dir/nspid"
  fi
  ;;
*)
  echo "usage: $0 start|run|stop DIR [CMD...]" >&2
  exit 2
  ;;
esac
