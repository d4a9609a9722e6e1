#!/usr/bin/env bash
# The demo's OpenVPN servers, for scripts/run.sh and the main-road test.
#
#   demo-vpn.sh credentials DIR   a fresh CA, server and client certificates
#                                 and a tls-auth key in DIR (owner-only)
#   demo-vpn.sh start DIR         the servers, in the background; returns once
#                                 they are ready (their process ids in
#                                 DIR/servers.pid, logs and status files in DIR)
#   demo-vpn.sh stop DIR          stops them
#
# The servers listen on 127.0.0.1 on the ports the demo accounts name: UDP
# 1194 and TCP 1194 (the Premium account, UDP and TCP) and TCP 443 (the Lite
# account and the proxy type, reached through the HTTP CONNECT proxy on
# 127.0.0.1:8080 when tinyproxy is installed). Like the provider's servers,
# the UDP server also answers on every port of the client's default port
# list (443, 500, 550, 1289, 2207, 3155; one process each, "udp-<port>"). They accept the client certificate of DIR and
# the user names and passwords in DIR/users (written by the account service,
# "--openvpn-users"). Fixed ports: "start" runs only inside a private network
# namespace, never in the machine's own. DIR/tunnels lists the tunnel
# address each client was given.
set -euo pipefail

command=${1:-}
dir=${2:-}
if [ -z "$command" ] || [ -z "$dir" ]; then
  echo "usage: $0 credentials|start|stop DIR" >&2
  exit 2
fi
case "$dir" in
  /*) ;;
  *) dir="$PWD/$dir" ;;
esac

credentials() {
  mkdir -p "$dir"
  chmod 0700 "$dir"
  cd "$dir"
  umask 077
  rm -f ca.* server.* client.* ta.key ./*.ext ./*.srl
  local ec=ec_paramgen_curve:prime256v1
  # The server's certificate carries the TLS server role, which the client checks.
  printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' >s.ext
  printf 'extendedKeyUsage=clientAuth\n' >c.ext
  openssl req -x509 -newkey ec -pkeyopt "$ec" -nodes -keyout ca.key -out ca.crt -days 30 \
    -subj "/CN=VarnelVPN Demo VPN CA" 2>/dev/null
  local n
  for n in server client; do
    openssl req -newkey ec -pkeyopt "$ec" -nodes -keyout "$n.key" -out "$n.csr" \
      -subj "/CN=$n" 2>/dev/null
    openssl x509 -req -in "$n.csr" -CA ca.crt -CAkey ca.key -CAcreateserial -out "$n.crt" \
      -days 30 -extfile "$([ "$n" = server ] && echo s.ext || echo c.ext)" 2>/dev/null
  done
  openvpn --genkey secret ta.key
}

start() {
  # A private network namespace holds the loopback device, tunnels and the
  # run command's own uplink (a veth pair that leads nowhere) only.
  if ip -o link show | awk -F': ' '{print $2}' |
    grep -qvE '^(lo|tun[0-9]*|varnel-uplink[01])(@.*)?$'; then
    echo "$0: refusing to bind the servers' fixed ports in the machine's own network" \
      "namespace; run this inside a private one (unshare --net)" >&2
    exit 1
  fi
  cd "$dir"
  [ -s users ] || {
    echo "$0: $dir/users is missing (the account service writes it)" >&2
    exit 1
  }
  # The user name and password OpenVPN hands over in a file (via-file).
  cat >verify.sh <<'SCRIPT'
#!/bin/sh
# $1: a file holding the user name and the password, one a line.
user=$(sed -n 1p "$1")
password=$(sed -n 2p "$1")
grep -qxF -- "$user $password" users
SCRIPT
  # Each client's tunnel address, recorded as the server hands it out, in
  # the status-file form the account service reads ("--tunnel-status").
  cat >connect.sh <<'SCRIPT'
#!/bin/sh
echo "CLIENT_LIST,$common_name,$untrusted_ip:$untrusted_port,$ifconfig_pool_remote_ip" >>tunnels
SCRIPT
  chmod 0700 verify.sh connect.sh
  : >tunnels
  : >servers.pid
  local name proto port net extra
  while read -r name proto port net extra; do
    rm -f "$name.log" "$name.status"
    # shellcheck disable=SC2086
    openvpn --cd "$dir" --dev tun --proto "$proto" --local 127.0.0.1 --port "$port" \
      --server "$net" 255.255.255.0 --topology subnet --ca ca.crt --cert server.crt \
      --key server.key --dh none --tls-auth ta.key 0 --auth md5 --comp-lzo adaptive \
      --allow-compression yes --data-ciphers AES-256-GCM:AES-128-GCM:AES-256-CBC:AES-128-CBC \
      --script-security 2 --auth-user-pass-verify ./verify.sh via-file \
      --client-connect ./connect.sh --keepalive 2 10 \
      --status "$name.status" 1 --status-version 2 --verb 3 --log "$name.log" $extra \
      </dev/null >/dev/null 2>&1 &
    echo $! >>servers.pid
  done <<'SERVERS'
udp-1194 udp 1194 10.8.0.0 --fragment 1300 --mssfix 1200
tcp-1194 tcp-server 1194 10.8.1.0
tcp-443 tcp-server 443 10.8.2.0
udp-443 udp 443 10.8.3.0 --fragment 1300 --mssfix 1200
udp-500 udp 500 10.8.4.0 --fragment 1300 --mssfix 1200
udp-550 udp 550 10.8.5.0 --fragment 1300 --mssfix 1200
udp-1289 udp 1289 10.8.6.0 --fragment 1300 --mssfix 1200
udp-2207 udp 2207 10.8.7.0 --fragment 1300 --mssfix 1200
udp-3155 udp 3155 10.8.8.0 --fragment 1300 --mssfix 1200
SERVERS
  # The proxy the accounts name ("proxy_ip", "proxy_port") for the OpenVPN
  # proxy type: HTTP CONNECT to the TCP 443 server, from this machine only.
  if command -v tinyproxy >/dev/null; then
    printf 'Port 8080\nListen 127.0.0.1\nAllow 127.0.0.1\nConnectPort 443\nTimeout 600\n' \
      >proxy.conf
    tinyproxy -d -c "$dir/proxy.conf" </dev/null >proxy.log 2>&1 &
    echo $! >>servers.pid
    for _ in $(seq 100); do
      (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null && break
      sleep 0.1
    done
  fi
  local log
  for log in udp-1194.log tcp-1194.log tcp-443.log udp-443.log udp-500.log udp-550.log \
    udp-1289.log udp-2207.log udp-3155.log; do
    for _ in $(seq 150); do
      grep -q "Initialization Sequence Completed" "$log" 2>/dev/null && continue 2
      sleep 0.1
    done
    echo "$0: the OpenVPN server did not start (see $dir/$log)" >&2
    exit 1
  done
}

stop() {
  [ -f "$dir/servers.pid" ] || return 0
  local pid
  while read -r pid; do
    kill -TERM "$pid" 2>/dev/null || true
  done <"$dir/servers.pid"
  while read -r pid; do
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  done <"$dir/servers.pid"
  rm -f "$dir/servers.pid"
}

case "$command" in
  credentials) credentials ;;
  start) start ;;
  stop) stop ;;
  *)
    echo "usage: $0 credentials|start|stop DIR" >&2
    exit 2
    ;;
esac
