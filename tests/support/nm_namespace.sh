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
#   nm_namespace.sh ipsec-server DIR PSK
#                                an IKEv1 responder at 10.200.0.2: veth-b
#                                moves into a second network namespace
#                                ("srv") where strongSwan's charon (with
#                                kernel-libipsec: ESP in user space over a
#                                tun device) accepts aggressive mode with the
#                                group "VarnelVPN", the pre-shared key PSK and
#                                any XAuth name and password (PAM permits
#                                all), hands out 10.201.0.0/24 and answers
#                                at 10.202.0.1 behind the tunnel. Its log is
#                                DIR/srv/charon.log.
#   nm_namespace.sh stop DIR     ends every process started inside, by id
#                                (the namespaces go with the last one)
#
# Nothing is written outside DIR: NetworkManager's profiles, state and run
# folders are tmpfs mounts of the private mount namespace, and the files the
# VPN plugins write outside them (nm-l2tp's pre-shared keys in
# /etc/ipsec.secrets and /etc/ipsec.d, strongSwan's and vpnc's
# configuration) are private copies under DIR/etc, bound over the host's
# inside the namespace only. `stop` ends every process of the namespace,
# also those that left the fixture's process tree (a plugin's charon-nm is
# re-parented when NetworkManager stops), each by its id.
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
# Private copies of what the plugins write outside NetworkManager's folders.
mkdir -p "$dir/etc"
for f in /etc/ipsec.secrets /etc/ipsec.conf /etc/ipsec.d /etc/strongswan.d /etc/strongswan.conf \
  /etc/vpnc /etc/ppp /var/lib/strongswan; do
  [ -e "\$f" ] || continue
  copy="$dir/etc/\$(echo "\$f" | tr / _)"
  cp -a "\$f" "\$copy" && mount --bind "\$copy" "\$f"
done
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
# ... and whatever else runs in this network namespace or the server's.
mine=\$(readlink /proc/\$\$/ns/net)
strays() {
  local p n srv
  srv=\$(cat "$dir/srvns" 2>/dev/null || true)
  for p in /proc/[0-9]*; do
    p=\${p#/proc/}
    [ "\$p" = "\$\$" ] && continue
    n=\$(readlink /proc/\$p/ns/net 2>/dev/null || true)
    { [ "\$n" = "\$mine" ] || { [ -n "\$srv" ] && [ "\$n" = "\$srv" ]; }; } && echo "\$p"
  done
}
while [ -z "$owner" ] || kill -0 "$owner" 2>/dev/null; do sleep 1; done
kill -TERM \$(tree \$\$; strays) 2>/dev/null
sleep 2
kill -KILL \$(tree \$\$; strays) 2>/dev/null
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
ipsec-server)
  psk=${3:?pre-shared key}
  srv="$dir/srv"
  mkdir -p "$srv/pam.d"
  cat >"$srv/strongswan.conf" <<EOF
charon {
  load_modular = no
  load = random nonce aes sha1 sha2 md5 hmac gmp kernel-libipsec kernel-netlink socket-default stroke xauth-pam attr unity
  install_routes = no
  # vpnc speaks aggressive mode only.
  i_dont_care_about_security_and_use_aggressive_mode_psk = yes
  plugins {
    xauth-pam {
      pam_service = varnel-xauth
    }
  }
  filelog {
    srvlog {
      path = $srv/charon.log
      default = 1
      ike = 2
    }
  }
}
EOF
  cat >"$srv/ipsec.conf" <<'EOF'
config setup
conn rw
  keyexchange=ikev1
  aggressive=yes
  left=10.200.0.2
  leftsubnet=0.0.0.0/0
  leftauth=psk
  right=%any
  rightid=keyid:VarnelVPN
  rightauth=psk
  rightauth2=xauth-pam
  rightsourceip=10.201.0.0/24
  ike=aes256-sha1-modp1024,aes128-sha1-modp1024!
  esp=aes256-sha1,aes128-sha1!
  auto=add
EOF
  # The key as strongSwan reads it (the tests' keys hold no quote).
  printf ': PSK "%s"\n' "$psk" >"$srv/ipsec.secrets"
  chmod 600 "$srv/ipsec.secrets"
  cp -a /etc/pam.d/. "$srv/pam.d/"
  printf 'auth required pam_permit.so\naccount required pam_permit.so\n' >"$srv/pam.d/varnel-xauth"
  inside ip netns add srv
  inside ip link set veth-b netns srv
  inside ip netns exec srv sh -c 'ip link set lo up && ip addr add 10.200.0.2/24 dev veth-b &&
    ip link set veth-b up && ip addr add 10.202.0.1/32 dev lo'
  inside ip netns exec srv readlink /proc/self/ns/net >"$dir/srvns"
  # Its own /run too: an IPsec starter that a plugin ran may have left its
  # pid files and control socket in NetworkManager's.
  inside ip netns exec srv unshare --mount sh -c "
    mount -t tmpfs tmpfs /run &&
    mount --bind '$srv/ipsec.conf' /etc/ipsec.conf &&
    mount --bind '$srv/ipsec.secrets' /etc/ipsec.secrets &&
    mount --bind '$srv/strongswan.conf' /etc/strongswan.conf &&
    mount --bind '$srv/pam.d' /etc/pam.d &&
    exec ipsec start --nofork" </dev/null >"$srv/starter.log" 2>&1 &
  for _ in $(seq 1 100); do
    inside ip netns exec srv ss -Hlun 'sport = :500' 2>/dev/null | grep -q 500 && break
    sleep 0.05
  done
  inside ip netns exec srv ss -Hlun 'sport = :500' | grep -q 500 ||
    { echo "the IKE responder did not start" >&2; cat "$srv/starter.log" >&2; exit 1; }
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
    # ... and every other process in the namespace's network namespace,
    # wherever it hangs now (by id: nothing outside is touched).
    netns=$(readlink "/proc/$nspid/ns/net" || true)
    srvns=$(cat "$dir/srvns" 2>/dev/null || true)
    strays() {
      local p n
      [ -n "$netns" ] || return 0
      for p in /proc/[0-9]*; do
        p=${p#/proc/}
        [ "$p" = "$nspid" ] && continue
        n=$(readlink "/proc/$p/ns/net" 2>/dev/null || true)
        { [ "$n" = "$netns" ] || { [ -n "$srvns" ] && [ "$n" = "$srvns" ]; }; } && echo "$p"
      done
      return 0
    }
    pids=$( (tree "$nspid"; strays) | sort -u)
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
    # Whatever started meanwhile (a plugin's helper) goes too.
    # shellcheck disable=SC2046  # a list of pids, one word each
    late=$(running $(strays))
    [ -n "$late" ] && kill -KILL $late 2>/dev/null || true
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
