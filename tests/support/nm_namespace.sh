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
#   nm_namespace.sh procs DIR    lists "PID NAME" of every process in the
#                                fixture's namespaces (its network and mount
#                                namespaces and the server's network
#                                namespace), also after `stop`
#   nm_namespace.sh end-plugins DIR
#                                ends, by id, the VPN plugins and the programs
#                                they started (nm-*-service, charon-nm, the
#                                IPsec starter and charon, xl2tpd, pppd, pptp,
#                                vpnc) in NetworkManager's network namespace:
#                                a plugin whose attempt NetworkManager gave up
#                                may run on for many seconds, and would serve
#                                the next attempt of its type
#   nm_namespace.sh nm-stop DIR  ends NetworkManager (SIGTERM, by id)
#   nm_namespace.sh nm-start DIR starts it again and brings "base" up
#   nm_namespace.sh forger DIR   starts tests/support/nm_forger.py as the
#                                user nobody on the bus: it answers each VPN
#                                state NetworkManager announces with forged
#                                ones (DIR/forger.log says what it sent)
#   nm_namespace.sh profile-watch DIR
#                                starts tests/support/nm_profile_watch.py as
#                                root on the bus: DIR/profiles.log gets the
#                                settings of each profile NetworkManager adds,
#                                read back at once ("new UUID ID
#                                permissions=... data=..."), and "removed PATH"
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
#   nm_namespace.sh ipsec-server-end DIR
#                                kills the responder (SIGKILL); ipsec-server
#                                starts it again
#   nm_namespace.sh ipsec-server-silence DIR
#   nm_namespace.sh ipsec-server-resume DIR
#                                stops the responder (SIGSTOP: its ports stay
#                                bound, nothing answers) and lets it go on
#   nm_namespace.sh stop DIR     ends every process started inside, by id
#                                (the namespaces go with the last one)
#
# Nothing is written outside DIR: /run is a tmpfs of the private mount
# namespace, and /etc, /var, /root and /home are overlays whose writable
# layers live on a tmpfs of that namespace. So whatever NetworkManager and
# the plugins write (profiles, state, nm-l2tp's pre-shared keys in
# /etc/ipsec.secrets and /etc/ipsec.d, strongSwan's and vpnc's files), and
# whether or not the host has the file, stays inside and goes with the
# namespace. `stop` ends every process of the namespaces, also those that
# left the fixture's process tree (a plugin's charon-nm is re-parented when
# NetworkManager stops), each by its id.
set -euo pipefail

cmd=${1:?command}
dir=${2:?folder}
script=$(realpath "$0")

inside() {
  nsenter -t "$(cat "$dir/nspid")" --net --mount --uts -- \
    env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus/system_bus_socket" "$@"
}

# The namespaces' ids ("net:[...]"), recorded at start: the fixture's
# network and mount namespaces, and the server's network namespace once it
# exists.
ids() {
  cat "$dir/namespaces" 2>/dev/null || true
  cat "$dir/srvns" 2>/dev/null || true
}

# "PID NAME" of every process in one of the namespaces (by the ids, so also
# after the first process has gone), leaving out the process SKIP.
members() {
  local known pid name skip=${1:-}
  known=$(ids | tr '\n' ' ')
  [ -n "${known// /}" ] || return 0
  find /proc/[0-9]*/ns -maxdepth 1 \( -name net -o -name mnt \) -printf '%h %l\n' 2>/dev/null |
    awk -v known="$known" -v skip="$skip" '
      BEGIN { n = split(known, k, " "); for (i = 1; i <= n; i++) want[k[i]] = 1 }
      {
        split($1, part, "/"); pid = part[3]
        if (pid != skip && ($2 in want) && !(pid in seen)) { seen[pid] = 1; print pid }
      }' |
    while read -r pid; do
      name=""
      { read -r name <"/proc/$pid/comm"; } 2>/dev/null || continue
      echo "$pid $name"
    done
  return 0
}

# The given processes that have not ended (zombies have).
running() {
  local p
  for p in "$@"; do
    [ -r "/proc/$p/stat" ] && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$p/stat" 2>/dev/null &&
      echo "$p"
  done
  return 0
}

# Ends the given processes: SIGTERM, then SIGKILL for those still running
# after SECONDS (the first argument).
end_processes() {
  local grace=$1 alive
  shift
  [ $# -gt 0 ] || return 0
  kill -TERM "$@" 2>/dev/null || true
  for _ in $(seq 1 "$((grace * 20))"); do
    [ -z "$(running "$@")" ] && return 0
    sleep 0.05
  done
  alive=$(running "$@")
  # shellcheck disable=SC2086  # a list of pids, one word each
  [ -z "$alive" ] || kill -KILL $alive 2>/dev/null || true
  for _ in $(seq 1 100); do
    [ -z "$(running "$@")" ] && return 0
    sleep 0.05
  done
}

# NetworkManager up, done starting, and the base connection active.
wait_for_nm() {
  for _ in $(seq 1 300); do
    if inside nmcli -t -f RUNNING,STARTUP general 2>/dev/null | grep -q '^running:started'; then
      break
    fi
    sleep 0.05
  done
  inside nmcli -t -f RUNNING general | grep -q running ||
    {
      echo "NetworkManager did not start" >&2
      cat "$dir/ns-init.log" "$dir/nm.log" >&2 2>/dev/null
      exit 1
    }
}

case "$cmd" in
start)
  owner=${3:-}
  # The overlays below hide what DIR holds from the processes inside when
  # DIR lies beneath one of them.
  case "$(realpath "$dir")/" in
  /etc/* | /var/* | /root/* | /home/*)
    echo "the folder must not lie in /etc, /var, /root or /home" >&2
    exit 1
    ;;
  esac
  mkdir -p "$dir/bus" "$dir/nm/conf.d" "$dir/nm/sysconf.d" "$dir/private"
  sed -e "s|<listen>[^<]*</listen>|<listen>unix:path=$dir/bus/system_bus_socket</listen>|" \
    -e '/<user>/d' -e '/<fork\/>/d' -e '/<pidfile>/d' -e '/<servicehelper>/d' \
    -e '/<standard_system_servicedirs\/>/d' \
    -e 's|<includedir>system.d</includedir>|<includedir>/usr/share/dbus-1/system.d</includedir>|' \
    -e 's|<includedir>/etc/dbus-1/system.d</includedir>||' \
    /usr/share/dbus-1/system.conf >"$dir/bus/system-bus.conf"
  # /etc/dbus-1/system.d once, absolute.
  sed -i "s|</busconfig>|  <includedir>/etc/dbus-1/system.d</includedir>\n</busconfig>|" \
    "$dir/bus/system-bus.conf"
  # Every local user may control networking, as NetworkManager lets a
  # local desktop session do (no polkit here): only a profile's own
  # permissions keep another user off it.
  cat >"$dir/nm/NetworkManager.conf" <<'EOF'
[main]
auth-polkit=false
plugins=keyfile
dns=none
rc-manager=unmanaged
hostname-mode=none
no-auto-default=*
[logging]
level=DEBUG
EOF
  # NetworkManager itself, inside (at start and by nm-start).
  cat >"$dir/nm-run.sh" <<EOF
#!/bin/bash
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus/system_bus_socket"
exec NetworkManager --debug --config="$dir/nm/NetworkManager.conf" \
  --config-dir="$dir/nm/conf.d" --system-config-dir="$dir/nm/sysconf.d"
EOF
  chmod 700 "$dir/nm-run.sh"
  cat >"$dir/ns-init.sh" <<EOF
#!/bin/bash
set -e
hostname varnel-nm-test
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus /run/NetworkManager
# Every folder the plugins may write to is an overlay whose writable layer
# is a tmpfs of this mount namespace: nothing reaches the host's files,
# whether or not the host has them.
mount -t tmpfs -o mode=0700 tmpfs "$dir/private"
for top in /etc /var /root /home; do
  [ -d "\$top" ] || continue
  layer="$dir/private/\$(basename "\$top")"
  mkdir -p "\$layer/upper" "\$layer/work"
  mount -t overlay overlay -o "lowerdir=\$top,upperdir=\$layer/upper,workdir=\$layer/work" "\$top"
done
# NetworkManager starts without the host's profiles and state.
mount -t tmpfs tmpfs /var/lib/NetworkManager
mount -t tmpfs tmpfs /etc/NetworkManager/system-connections
{ cp /etc/resolv.conf "$dir/resolv.conf.ns" &&
  mount --bind "$dir/resolv.conf.ns" /etc/resolv.conf; } || true
# A read-only sysfs of this namespace: NetworkManager then manages its
# devices without udev.
mount -t sysfs -o ro sysfs /sys
set +e
ip link set lo up
dbus-daemon --config-file="$dir/bus/system-bus.conf" --nofork >"$dir/bus.log" 2>&1 &
for i in \$(seq 1 200); do [ -S "$dir/bus/system_bus_socket" ] && break; sleep 0.05; done
touch /run/dbus/system_bus_socket
mount --bind "$dir/bus/system_bus_socket" /run/dbus/system_bus_socket
"$dir/nm-run.sh" >"$dir/nm.log" 2>&1 &
# Stay, and reap what ends, until told to go or until the owner (the test
# process) has gone without saying so: then end everything started here
# and whatever else runs in these namespaces.
trap 'kill \$! 2>/dev/null; exit 0' TERM
# (The wait returns at once on SIGTERM; a plain sleep would hold the trap.)
while [ -z "$owner" ] || kill -0 "$owner" 2>/dev/null; do sleep 1 & wait \$!; done
"$script" stop "$dir" --from-inside
exit 0
EOF
  chmod 700 "$dir/ns-init.sh"
  setsid unshare --net --mount --uts --fork "$dir/ns-init.sh" \
    </dev/null >"$dir/ns-init.log" 2>&1 &
  outer=$!
  nspid=""
  for _ in $(seq 1 200); do
    nspid=$(pgrep -P "$outer" || true)
    [ -n "$nspid" ] && break
    sleep 0.05
  done
  [ -n "$nspid" ] || { echo "the namespace did not start" >&2; exit 1; }
  echo "$nspid" >"$dir/nspid"
  echo "$outer" >"$dir/outerpid"
  { readlink "/proc/$nspid/ns/net"; readlink "/proc/$nspid/ns/mnt"; } >"$dir/namespaces"
  wait_for_nm
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
procs)
  members
  ;;
end-plugins)
  net=$(head -1 "$dir/namespaces")
  pids=()
  while read -r pid name; do
    [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null || true)" = "$net" ] || continue
    case "$name" in
    nm-*-service | charon-nm | starter | charon | xl2tpd | pppd | pptp | vpnc | stroke | ipsec)
      pids+=("$pid")
      ;;
    esac
  done < <(members)
  end_processes 2 "${pids[@]}"
  ;;
nm-stop)
  net=$(head -1 "$dir/namespaces")
  pids=()
  while read -r pid name; do
    [ "$name" = NetworkManager ] &&
      [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null || true)" = "$net" ] && pids+=("$pid")
  done < <(members)
  end_processes 5 "${pids[@]}"
  ;;
nm-start)
  inside setsid "$dir/nm-run.sh" </dev/null >>"$dir/nm.log" 2>&1 &
  wait_for_nm
  inside nmcli connection up base >/dev/null
  ;;
forger)
  rm -f "$dir/forger.log"
  inside env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket \
    setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 - \
    <"$(dirname "$script")/nm_forger.py" >"$dir/forger.log" 2>&1 &
  echo $! >"$dir/forger.pid"
  # Listening before it is used.
  for _ in $(seq 1 200); do
    grep -q '^listening' "$dir/forger.log" 2>/dev/null && exit 0
    running "$(cat "$dir/forger.pid")" | grep -q . || break
    sleep 0.05
  done
  echo "the forger did not start" >&2
  cat "$dir/forger.log" >&2
  exit 1
  ;;
profile-watch)
  rm -f "$dir/profiles.log"
  inside env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket /usr/bin/python3 - \
    <"$(dirname "$script")/nm_profile_watch.py" >"$dir/profiles.log" 2>&1 &
  echo $! >"$dir/watch.pid"
  for _ in $(seq 1 200); do
    grep -q '^listening' "$dir/profiles.log" 2>/dev/null && exit 0
    running "$(cat "$dir/watch.pid")" | grep -q . || break
    sleep 0.05
  done
  echo "the profile watcher did not start" >&2
  cat "$dir/profiles.log" >&2
  exit 1
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
  # Again after `ipsec-server-end`: the namespace is there already.
  if [ ! -s "$dir/srvns" ]; then
    inside ip netns add srv
    inside ip link set veth-b netns srv
    inside ip netns exec srv sh -c 'ip link set lo up && ip addr add 10.200.0.2/24 dev veth-b &&
      ip link set veth-b up && ip addr add 10.202.0.1/32 dev lo'
    inside ip netns exec srv readlink /proc/self/ns/net >"$dir/srvns"
  fi
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
ipsec-server-end | ipsec-server-silence | ipsec-server-resume)
  # The responder's processes (charon and its starter), by id: killed
  # (SIGKILL: no goodbye to its peers, its ports then refuse), silenced
  # (SIGSTOP: its ports stay open and nothing answers) or resumed.
  srvnet=$(cat "$dir/srvns")
  pids=()
  while read -r pid name; do
    case "$name" in starter | charon) ;; *) continue ;; esac
    [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null || true)" = "$srvnet" ] && pids+=("$pid")
  done < <(members)
  [ ${#pids[@]} -gt 0 ] || { echo "no IKE responder runs" >&2; exit 1; }
  case "$cmd" in
  ipsec-server-end)
    kill -KILL "${pids[@]}"
    for _ in $(seq 1 100); do
      [ -z "$(running "${pids[@]}")" ] && break
      sleep 0.05
    done
    ;;
  ipsec-server-silence) kill -STOP "${pids[@]}" ;;
  ipsec-server-resume) kill -CONT "${pids[@]}" ;;
  esac
  ;;
stop)
  # Also run from inside (ns-init.sh) when the owner has gone: then the
  # namespace's first process is the caller and stays out of the list.
  self=""
  [ "${3:-}" = --from-inside ] && self=$$
  if [ -f "$dir/namespaces" ]; then
    nspid=$(cat "$dir/nspid" 2>/dev/null || true)
    # unshare, the parent of the first process, waits for it (and ignores
    # SIGTERM meanwhile).
    outer=$(cat "$dir/outerpid" 2>/dev/null || true)
    others() {
      members "$self" | awk -v first="$nspid" -v outer="$outer" \
        '$1 != first && $1 != outer {print $1}'
    }
    # Everything but the first process (by id: nothing outside is touched),
    # then whatever started meanwhile (a plugin's helper), then the first
    # process, and unshare with it.
    mapfile -t pids < <(others)
    end_processes 5 "${pids[@]}"
    mapfile -t pids < <(others)
    end_processes 1 "${pids[@]}"
    if [ -z "$self" ] && [ -n "$nspid" ]; then
      end_processes 2 "$nspid"
      [ -z "$outer" ] || end_processes 1 "$outer"
      # What the first process left behind as it went.
      mapfile -t pids < <(members)
      end_processes 1 "${pids[@]}"
    fi
    rm -f "$dir/nspid"
  fi
  ;;
*)
  echo "usage: $0 start|run|procs|end-plugins|nm-stop|nm-start|forger|profile-watch|ipsec-server|" \
    "ipsec-server-end|ipsec-server-silence|ipsec-server-resume|stop DIR ..." >&2
  exit 2
  ;;
esac
