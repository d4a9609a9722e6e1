#!/usr/bin/env bash
# Installs the dependencies, builds the client, the helper and the local
# account service, and runs the product on this machine:
#   - the local account service (HTTPS on 127.0.0.1) with its demo user,
#   - the demo's OpenVPN servers (scripts/demo-vpn.sh) with credentials made
#     for this run, which the demo accounts point at,
#   - VarnelVPN Client, installed with the helper it ships into a private
#     VARNEL_ROOT and pointed at the local service; logging in installs
#     VarnelHelper there through the client's own installation code, and the
#     helper is then started on its first connection by varnel-launcher.
# As root (with /dev/net/tun and unshare) all of it runs in private network,
# mount and process namespaces: connecting makes a real tunnel to the demo
# server, and the machine's own routes, DNS and ports are never touched.
# Otherwise the demo runs without VPN servers (log-in and the windows only).
# Without a display the client runs under Xvfb. Everything started here is
# stopped when the client quits (or this script is stopped), and every file
# it writes lives under the demo root (build/run/demo-root).
#
# Given VARNEL_ACCOUNT_SERVICE_URLS, the client uses that service instead of
# the local one, in the machine's own network (no demo VPN servers).
# VARNEL_DEMO_PREBUILT=1 skips the dependencies and the build and runs what
# $BUILD holds (the GUI end-to-end test runs the demo so).
#
# Log in with   e-mail: demo@varnelvpn.test   password: demo-password
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build/run}
case "$BUILD" in
  /*) BUILD_DIR=$BUILD ;;
  *) BUILD_DIR="$PWD/$BUILD" ;;
esac
ROOT=${VARNEL_DEMO_ROOT:-"$BUILD_DIR/demo-root"}
APPS="$BUILD_DIR/src/apps"
SERVICE="$BUILD_DIR/tools/account-service/varnel-account-service"
LAUNCHER="$BUILD_DIR/tools/launcher/varnel-launcher"
APP="$ROOT/opt/VarnelVPN Client"
VPN="$ROOT/vpn"

PIDS=()
NAMESPACE_PID=
cleanup() {
  local pid
  # unshare itself ignores TERM while it waits: stop the namespaces' first
  # process, whose end ends every process in them and then unshare.
  if [ -n "$NAMESPACE_PID" ]; then
    for pid in $(pgrep -P "$NAMESPACE_PID"); do kill -TERM "$pid" 2>/dev/null || true; done
  fi
  for pid in "${PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  if [ "${VARNEL_DEMO_STAGE:-}" = inside ]; then bash scripts/demo-vpn.sh stop "$VPN" || true; fi
}

# The private system root and home: nothing outside it is touched.
use_private_root() {
  export VARNEL_ROOT="$ROOT"
  export HOME="$ROOT/home"
  export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
  export XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
  export XDG_RUNTIME_DIR="$ROOT/run/user"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME"
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
}

# Waits up to 10 s for a file to be non-empty.
wait_for_file() {
  local _
  for _ in $(seq 100); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# The local account service; with demo VPN servers, it serves their
# credentials and tells the tunnel's address as the visible IP.
start_account_service() {
  local args=(--url-file "$ROOT/account-service.url")
  if [ -n "${1:-}" ]; then
    args+=(--openvpn-credentials "$VPN" --openvpn-users "$VPN/users")
    args+=(--tunnel-status "$VPN/tunnels")
  fi
  rm -f "$ROOT/account-service.url"
  # It writes its certificate authority into the trusted bundle under
  # VARNEL_ROOT, so the client trusts it.
  "$SERVICE" "${args[@]}" >"$ROOT/account-service.log" 2>&1 &
  PIDS+=($!)
  if ! wait_for_file "$ROOT/account-service.url"; then
    echo "the local account service did not start (see $ROOT/account-service.log)" >&2
    exit 1
  fi
  export VARNEL_ACCOUNT_SERVICE_URLS
  VARNEL_ACCOUNT_SERVICE_URLS=$(cat "$ROOT/account-service.url")
  echo "Account service: $VARNEL_ACCOUNT_SERVICE_URLS"
}

# The helper's launch record appears when the client installs the helper
# after the first login; from then on the launcher starts the helper on its
# first connection.
start_launcher() {
  local records="$ROOT/etc/varnel/launchd"
  (
    while ! ls "$records"/*.service >/dev/null 2>&1; do sleep 0.2; done
    exec "$LAUNCHER" --records "$records"
  ) >"$ROOT/launcher.log" 2>&1 &
  PIDS+=($!)
}

# A session bus of the demo's own: on a bare display the client would
# otherwise autolaunch one that outlives it.
start_session_bus() {
  local socket="$XDG_RUNTIME_DIR/bus"
  rm -f "$socket"
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$socket" \
    >"$ROOT/dbus.log" 2>&1 &
  PIDS+=($!)
  local _
  for _ in $(seq 100); do
    [ -S "$socket" ] && break
    sleep 0.05
  done
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$socket"
}

# The one place the client is started. It runs in the background so that a
# signal to this script reaches the trap at once; the trap then stops it
# with everything else.
run_client() {
  start_session_bus
  "$APP/VarnelVPN Client" "$@" &
  local client=$!
  PIDS=("$client" "${PIDS[@]}")
  local status=0
  wait "$client" || status=$?
  return "$status"
}

# Inside the private namespaces (started below as root): the network is
# this process's own, /etc/resolv.conf a private copy the helper may change,
# and every process started here ends with it.
if [ "${VARNEL_DEMO_STAGE:-}" = inside ]; then
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  use_private_root
  ip link set lo up
  printf 'nameserver 127.0.0.1\n' >"$ROOT/resolv.conf"
  mount --bind "$ROOT/resolv.conf" /etc/resolv.conf
  mkdir -p "$ROOT/tmp" && chmod 1777 "$ROOT/tmp"
  bash scripts/demo-vpn.sh credentials "$VPN"
  start_account_service with-vpn
  bash scripts/demo-vpn.sh start "$VPN"
  start_launcher
  echo "Demo OpenVPN servers: UDP 1194, TCP 1194 and TCP 443 (also through the proxy on 8080)" \
    "on 127.0.0.1 (private network)."
  echo "Log in with e-mail demo@varnelvpn.test and password demo-password."
  status=0
  run_client "$@" || status=$?
  exit "$status"
fi

if [ "${VARNEL_DEMO_PREBUILT:-}" != 1 ]; then
  bash scripts/install-deps.sh
  JOBS=${JOBS:-$(nproc)}
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_BUILD_UI=ON \
    -DVARNEL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$BUILD" -j "$JOBS" --target varnel_client VarnelHelper \
    varnel-account-service varnel-launcher
fi

use_private_root
# Install the client with its resources and the helper it ships into the
# private root's application folder, the way a package would.
mkdir -p "$APP"
cp -f "$APPS/VarnelVPN Client" "$APPS/VarnelVPN Client.plist" "$APPS/VarnelHelper" \
  "$APPS/eula.txt" "$APPS/acknowledgements.rtf" "$APP/"

trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # No display: a virtual one (Xvfb) on the first free display number.
  number=99
  while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
    number=$((number + 1))
  done
  Xvfb ":$number" -screen 0 1280x800x24 -nolisten tcp -noreset >"$ROOT/xvfb.log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$number" ] && break
    sleep 0.1
  done
  export DISPLAY=":$number"
  echo "No display: running under Xvfb on $DISPLAY (see README.md to watch it)."
fi

can_isolate() {
  [ "$(id -u)" -eq 0 ] && [ -c /dev/net/tun ] && command -v unshare >/dev/null &&
    command -v openvpn >/dev/null && unshare --net --mount true 2>/dev/null
}

status=0
if [ -n "${VARNEL_ACCOUNT_SERVICE_URLS:-}" ]; then
  echo "Using the account service at $VARNEL_ACCOUNT_SERVICE_URLS (no demo VPN servers)."
  start_launcher
  run_client "$@" || status=$?
elif can_isolate; then
  # The rest runs in private namespaces; when it ends, the kernel ends every
  # process left in them, and the namespaces go with them.
  VARNEL_DEMO_STAGE=inside unshare --net --mount --pid --fork --mount-proc --kill-child=TERM \
    bash "$PWD/scripts/run.sh" "$@" &
  NAMESPACE_PID=$!
  PIDS+=("$NAMESPACE_PID")
  wait "$NAMESPACE_PID" || status=$?
else
  echo "Not root or no /dev/net/tun: running without the demo VPN servers" \
    "(connections cannot come up)."
  start_account_service
  start_launcher
  echo "Log in with e-mail demo@varnelvpn.test and password demo-password."
  run_client "$@" || status=$?
fi
exit "$status"
