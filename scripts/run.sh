#!/usr/bin/env bash
# Installs the dependencies, builds the client, the helper and the local
# services, and runs the product on this machine:
#   - the local account service (HTTPS on 127.0.0.1) with its demo user,
#   - the demo's OpenVPN servers (scripts/demo-vpn.sh) with credentials made
#     for this run, which the demo accounts point at,
#   - the local SDK service that receives the client's crash reports and
#     usage events,
#   - VarnelVPN Client, installed with the helper it ships into a private
#     VARNEL_ROOT and pointed at the local service; logging in installs
#     VarnelHelper there through the client's own installation code, and the
#     helper is then started on its first connection by varnel-launcher.
# Run it as root. The client itself runs as a normal user: the user who
# started the script through sudo, or else the system user "varnel-demo"
# (created here when missing). Only the helper and the services run as root.
# The client asks polkit before it installs the helper, as on a desktop: the
# demo brings its own polkitd on a private system bus, with a rule that lets
# the client's user authorize the helper installation (and nothing else)
# without a password, and gives the client a
# private session bus with an unlocked desktop keyring (gnome-keyring) for
# its secrets.
# All of it runs in private mount and process namespaces, and (with
# /dev/net/tun) a private network namespace: connecting makes a real tunnel
# to the demo server, and the machine's own routes, DNS and ports are never
# touched. Without a display the client runs under Xvfb. Everything started
# here is stopped when the client quits (or this script is stopped), and
# every file it writes lives under the demo root (build/run/demo-root).
#
# Given VARNEL_ACCOUNT_SERVICE_URLS, the client uses that service instead of
# the local one (no demo VPN servers). VARNEL_DEMO_PREBUILT=1 skips the
# dependencies and the build and runs what $BUILD holds (the GUI end-to-end
# test runs the demo so).
#
# Log in with   e-mail: demo@varnelvpn.test   password: demo-password
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/demo-desktop.sh
source scripts/demo-desktop.sh

BUILD=${BUILD:-build/run}
case "$BUILD" in
  /*) BUILD_DIR=$BUILD ;;
  *) BUILD_DIR="$PWD/$BUILD" ;;
esac
APPS="$BUILD_DIR/src/apps"
SERVICE="$BUILD_DIR/tools/account-service/varnel-account-service"
SDK_SERVICE="$BUILD_DIR/tools/sdk-service/varnel-sdk-service"
LAUNCHER="$BUILD_DIR/tools/launcher/varnel-launcher"

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
  if [ "${VARNEL_DEMO_STAGE:-}" = inside ] && [ "${DEMO_NET:-}" = 1 ]; then
    bash scripts/demo-vpn.sh stop "$ROOT/vpn" || true
  fi
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

if [ "${VARNEL_DEMO_STAGE:-}" != inside ]; then
  # ---- First stage: build, install, prepare the namespaces' files. --------
  if [ "$(id -u)" -ne 0 ]; then
    echo "Run this as root (for example: sudo bash scripts/run.sh)." >&2
    exit 1
  fi
  if [ "${VARNEL_DEMO_PREBUILT:-}" != 1 ]; then
    bash scripts/install-deps.sh
    JOBS=${JOBS:-$(nproc)}
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_BUILD_UI=ON \
      -DVARNEL_BUILD_BENCH=OFF >/dev/null
    cmake --build "$BUILD" -j "$JOBS" --target varnel_client VarnelHelper varnel-account-service \
      varnel-launcher varnel-install-helper varnel-sdk-service
  fi

  # The user the client runs as: whoever ran "sudo bash scripts/run.sh", or,
  # started as root directly, the demo's own system user.
  if [ -n "${SUDO_UID:-}" ] && [ "$SUDO_UID" != 0 ]; then
    RUN_USER=$(id -nu "$SUDO_UID")
  else
    # shellcheck source=scripts/demo-user.sh
    source scripts/demo-user.sh
    demo_ensure_user
    RUN_USER=$DEMO_USER
  fi
  RUN_UID=$(id -u "$RUN_USER")
  RUN_GID=$(id -g "$RUN_USER")

  # A private system root and home: nothing outside it is touched. Like a
  # real system root it must lie in folders only root can change (the
  # installer refuses anything else); when the checkout does not (say, in a
  # user's home), the root goes to /var/lib/varnel-demo instead.
  # The installer answers that with the project's one root-only walk.
  root_only_path() {
    "$APPS/varnel-install-helper" check-root-only "$1" 2>/dev/null
  }
  ROOT=$(realpath -m "${VARNEL_DEMO_ROOT:-"$BUILD_DIR/demo-root"}")
  if [ -z "${VARNEL_DEMO_ROOT:-}" ] && ! root_only_path "$(dirname "$ROOT")"; then
    ROOT=/var/lib/varnel-demo
    echo "$BUILD_DIR can be changed by users other than root: the demo's root is $ROOT."
  fi
  APP="$ROOT/opt/VarnelVPN Client"
  HOME_DIR="$ROOT/home"
  mkdir -p "$APP" "$ROOT/run/user" "$HOME_DIR/.config" "$HOME_DIR/.local/share" \
    "$HOME_DIR/.cache" "$HOME_DIR/.local/state"
  mkdir -p "$ROOT/tmp"
  chmod 1777 "$ROOT/tmp"

  # Install the client with its resources, the helper it ships and its
  # installer into the private root's application folder, the way a package
  # would: root's, and nobody else may change them (the installer checks).
  # sstp-options is the SSTP client's pppd options file, which the helper's
  # installation records (the only one the helper accepts).
  cp -f "$APPS/VarnelVPN Client" "$APPS/VarnelVPN Client.plist" "$APPS/VarnelHelper" \
    "$APPS/varnel-install-helper" "$APPS/eula.txt" "$APPS/acknowledgements.rtf" \
    "$APPS/sstp-options" "$APP/"
  chown root:root "$ROOT" "$ROOT/opt" "$APP" "$APP"/*
  chmod 0755 "$ROOT" "$ROOT/opt" "$APP"
  chmod go-w "$APP"/*
  # A newcomer's first Connect works: on the first run the client starts on
  # the demo's OpenVPN account (Premium #W1001, with a real tunnel) as if it
  # had been chosen last time; a choice of the user's later is kept.
  DEFAULTS="$HOME_DIR/.config/com.varnelvpn.client.plist"
  if [ -z "${VARNEL_ACCOUNT_SERVICE_URLS:-}" ] && [ ! -e "$DEFAULTS" ]; then
    cat >"$DEFAULTS" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>LastSelectedAccount</key>
	<integer>1001</integer>
</dict>
</plist>
PLIST
    chmod 0600 "$DEFAULTS"
  fi
  chown -R "$RUN_UID:$RUN_GID" "$HOME_DIR" "$ROOT/run/user"
  chmod 0700 "$ROOT/run/user"

  # Polkit inside the namespace: the system's actions plus ours for this
  # installation, and the demo's rule.
  mkdir -p "$ROOT/polkit/actions" "$ROOT/polkit/rules"
  rm -f "$ROOT/polkit/actions"/*.policy
  cp /usr/share/polkit-1/actions/*.policy "$ROOT/polkit/actions/" 2>/dev/null || true
  sed "s|/opt/VarnelVPN Client/varnel-install-helper|$APP/varnel-install-helper|" \
    packaging/polkit/com.varnelvpn.policy >"$ROOT/polkit/actions/com.varnelvpn.policy"
  # pkexec hands polkit the whole command line: the rule allows the one
  # installation the client asks for, into this demo's root, and nothing
  # else (no other root, none at all, no other command or label).
  INSTALL_COMMAND="$APP/varnel-install-helper install-helper VarnelHelper --client VarnelVPN Client --root $ROOT"
  case "$INSTALL_COMMAND" in
    *\\* | *\"*)
      echo "The demo's root $ROOT holds a quote or backslash; choose another." >&2
      exit 1
      ;;
  esac
  cat >"$ROOT/polkit/rules/50-varnel-demo.rules" <<RULE
// The demo's user may install the helper into the demo's own root without
// a password; nothing else (moving the client still asks for an
// administrator, and so does an installation anywhere else).
polkit.addRule(function(action, subject) {
  if (action.id == "com.varnelvpn.helper.install" && subject.user == "$RUN_USER" &&
      action.lookup("command_line") == "$INSTALL_COMMAND")
    return polkit.Result.YES;
  return polkit.Result.NOT_HANDLED;
});
RULE
  chown -R polkitd: "$ROOT/polkit/rules" 2>/dev/null || true
  chmod 0700 "$ROOT/polkit/rules"
  demo_bus_config unix:path=/run/dbus/system_bus_socket >"$ROOT/polkit/system-bus.conf"

  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM

  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    # No display: a virtual one (Xvfb) on the first free display number,
    # open only to the holders of its cookie: the client's user (the file is
    # in that user's private folder) and this run's own tools (root).
    DEMO_XVFB_PID=
    xvfb_up=0
    demo_start_xvfb "$ROOT/run/user/Xauthority" "$RUN_UID" "$RUN_GID" "$ROOT/xvfb.log" &&
      xvfb_up=1
    if [ -n "$DEMO_XVFB_PID" ]; then PIDS+=("$DEMO_XVFB_PID"); fi
    if [ "$xvfb_up" != 1 ]; then
      echo "Xvfb did not start (see $ROOT/xvfb.log)" >&2
      exit 1
    fi
    export DISPLAY="$DEMO_DISPLAY" XAUTHORITY="$ROOT/run/user/Xauthority"
    echo "No display: running under Xvfb on $DISPLAY with XAUTHORITY=$XAUTHORITY" \
      "(see README.md to watch it)."
  fi

  # A private network too, with the demo's VPN servers in it, unless the
  # user named an account service of their own or the kernel cannot.
  DEMO_NET=0
  net=()
  if [ -z "${VARNEL_ACCOUNT_SERVICE_URLS:-}" ] && [ -c /dev/net/tun ] &&
    command -v openvpn >/dev/null && unshare --net --mount true 2>/dev/null; then
    DEMO_NET=1
    net=(--net)
  elif [ -n "${VARNEL_ACCOUNT_SERVICE_URLS:-}" ]; then
    echo "Using the account service at $VARNEL_ACCOUNT_SERVICE_URLS (no demo VPN servers)."
  else
    echo "No /dev/net/tun or network namespaces: running without the demo VPN servers" \
      "(connections cannot come up)."
  fi

  # The rest runs in private namespaces: the private system bus with polkitd
  # stands in for the machine's there; when the client quits, the kernel
  # ends every process left in them, and the namespaces go with them.
  status=0
  VARNEL_DEMO_STAGE=inside ROOT="$ROOT" APP="$APP" DEMO_NET="$DEMO_NET" RUN_USER="$RUN_USER" \
    RUN_UID="$RUN_UID" RUN_GID="$RUN_GID" \
    unshare "${net[@]}" --mount --pid --fork --mount-proc --kill-child=TERM \
    bash "$PWD/scripts/run.sh" "$@" &
  NAMESPACE_PID=$!
  PIDS+=("$NAMESPACE_PID")
  wait "$NAMESPACE_PID" || status=$?
  exit "$status"
fi

# ---- Second stage, inside the namespaces (this shell is their first process).
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

export VARNEL_ROOT="$ROOT"
export HOME="$ROOT/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
export XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
export XDG_RUNTIME_DIR="$ROOT/run/user"

mount --make-rprivate /
if [ "$DEMO_NET" = 1 ]; then
  # The network is this process's own; /etc/resolv.conf a private copy the
  # helper may change.
  ip link set lo up
  # A default route, as every desktop has: OpenVPN routes its server past the
  # tunnel through the default gateway, and without one it reports a route
  # error on every connect. The link leads nowhere (a veth pair inside this
  # namespace); every demo server is on the loopback device.
  ip link add varnel-uplink0 type veth peer name varnel-uplink1
  ip addr add 192.0.2.1/24 dev varnel-uplink0
  ip link set varnel-uplink0 up
  ip link set varnel-uplink1 up
  ip route add default via 192.0.2.254 dev varnel-uplink0
  printf 'nameserver 127.0.0.1\n' >"$ROOT/resolv.conf"
  mount --bind "$ROOT/resolv.conf" /etc/resolv.conf
fi

# The private system bus and polkitd.
mkdir -p /run/dbus
mount -t tmpfs tmpfs /run/dbus
mount --bind "$ROOT/polkit/actions" /usr/share/polkit-1/actions
mkdir -p /etc/polkit-1/rules.d
mount --bind "$ROOT/polkit/rules" /etc/polkit-1/rules.d
rm -f "$ROOT/polkit/address"
mkfifo "$ROOT/polkit/address"
dbus-daemon --config-file="$ROOT/polkit/system-bus.conf" --nofork --print-address=3 \
  3>"$ROOT/polkit/address" 2>"$ROOT/polkit/bus.log" &
PIDS+=($!)
read -r _ <"$ROOT/polkit/address"
/usr/lib/polkit-1/polkitd --no-debug >"$ROOT/polkit/polkitd.log" 2>&1 &
PIDS+=($!)
if ! gdbus wait --system --timeout 20 org.freedesktop.PolicyKit1; then
  echo "polkitd did not start (see $ROOT/polkit/polkitd.log)" >&2
  exit 1
fi

# The local account service; with demo VPN servers, it serves their
# credentials and tells the tunnel's address as the visible IP. It writes its
# certificate authority into the trusted bundle under VARNEL_ROOT, so the
# client trusts it.
VPN="$ROOT/vpn"
if [ -z "${VARNEL_ACCOUNT_SERVICE_URLS:-}" ]; then
  args=(--url-file "$ROOT/account-service.url")
  if [ "$DEMO_NET" = 1 ]; then
    bash scripts/demo-vpn.sh credentials "$VPN"
    args+=(--openvpn-credentials "$VPN" --openvpn-users "$VPN/users")
    args+=(--tunnel-status "$VPN/tunnels")
  fi
  rm -f "$ROOT/account-service.url"
  "$SERVICE" "${args[@]}" >"$ROOT/account-service.log" 2>&1 &
  PIDS+=($!)
  if ! wait_for_file "$ROOT/account-service.url"; then
    echo "the local account service did not start (see $ROOT/account-service.log)" >&2
    exit 1
  fi
  VARNEL_ACCOUNT_SERVICE_URLS=$(cat "$ROOT/account-service.url")
  echo "Account service: $VARNEL_ACCOUNT_SERVICE_URLS"
  if [ "$DEMO_NET" = 1 ]; then
    bash scripts/demo-vpn.sh start "$VPN"
    echo "Demo OpenVPN servers: UDP 1194, TCP 1194 and TCP 443 (also through the proxy on" \
      "8080) on 127.0.0.1 (private network)."
    # The server tests: every demo server's test host
    # ("<server>.speedtest.varnelvpn.net") is this network's loopback, which
    # answers ping, and a web server there hands out the speed test's
    # download (16785 KiB, the size the speed figure divides).
    mkdir -p "$ROOT/speedtest"
    truncate -s $((16785 * 1024)) "$ROOT/speedtest/speedtesting.zip"
    {
      cat /etc/hosts
      python3 - tools/account-service/demo_data.json <<'HOSTS'
import json, sys
plans = json.load(open(sys.argv[1]))["plans"].values()
names = sorted({s["prefix"] for p in plans for k in ("open", "pptp") for s in p.get(k, [])})
for name in names:
    print(f"127.0.0.1 {name}.speedtest.varnelvpn.net")
HOSTS
    } >"$ROOT/hosts"
    mount --bind "$ROOT/hosts" /etc/hosts
    python3 -m http.server 80 --bind 127.0.0.1 --directory "$ROOT/speedtest" \
      >"$ROOT/speedtest.log" 2>&1 &
    PIDS+=($!)
    echo "Server tests: the demo servers' test hosts answer on 127.0.0.1 (ping, and the" \
      "speed test's download on port 80)."
  fi
fi
export VARNEL_ACCOUNT_SERVICE_URLS

# --- local SDK service ---------------------------------------------------------
# Crash reports and usage analytics of the client go to a local SDK service
# (HTTPS on 127.0.0.1). It writes the installed client's Info.plist (API key,
# endpoints and its certificate authority, which the client trusts only for
# these loopback endpoints) and keeps what it receives in $ROOT/sdk-service;
# list it with: varnel-sdk-service --show "$ROOT/sdk-service"
SDK_URL_FILE="$ROOT/sdk-service.url"
rm -f "$SDK_URL_FILE"
"$SDK_SERVICE" --data "$ROOT/sdk-service" --url-file "$SDK_URL_FILE" \
  --configure "$APP/VarnelVPN Client.plist" >"$ROOT/sdk-service.log" 2>&1 &
PIDS+=($!)
if ! wait_for_file "$SDK_URL_FILE"; then
  echo "the local SDK service did not start (see $ROOT/sdk-service.log)" >&2
  exit 1
fi
# The service's port is new at every start: the SDK settings cached by an
# earlier run name the old one (and a launch keeps the settings it starts
# with), so they go; the client downloads fresh ones at launch.
rm -f "$XDG_CACHE_HOME/io.beacon.sdk.mac.data/com.varnelvpn.client/settings.json"
echo "SDK service: $(cat "$SDK_URL_FILE") (received: $SDK_SERVICE --show $ROOT/sdk-service)"
# --- end of local SDK service --------------------------------------------------

# The helper's launch record appears when the client installs the helper
# after the first login; from then on the launcher starts the helper on its
# first connection.
RECORDS="$ROOT/etc/varnel/launchd"
(
  while ! ls "$RECORDS"/*.service >/dev/null 2>&1; do sleep 0.2; done
  exec "$LAUNCHER" --records "$RECORDS"
) >"$ROOT/launcher.log" 2>&1 &
PIDS+=($!)

echo "Log in with e-mail demo@varnelvpn.test and password demo-password."

# The one place the client is started. It runs in the background so that a
# signal to this script reaches the trap at once; the trap then stops it
# with everything else. It runs as the demo's user with only the environment
# it needs, on a private session bus (ended with it) that carries an
# unlocked desktop keyring for its secrets.
run_client() {
  local client_env=(HOME="$HOME" XDG_CONFIG_HOME="$XDG_CONFIG_HOME"
    XDG_DATA_HOME="$XDG_DATA_HOME" XDG_CACHE_HOME="$XDG_CACHE_HOME"
    XDG_STATE_HOME="$XDG_STATE_HOME" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR"
    VARNEL_ROOT="$VARNEL_ROOT" VARNEL_ACCOUNT_SERVICE_URLS="$VARNEL_ACCOUNT_SERVICE_URLS"
    DISPLAY="${DISPLAY:-}" PATH=/usr/local/bin:/usr/bin:/bin LANG="${LANG:-C.UTF-8}"
    USER="$RUN_USER" LOGNAME="$RUN_USER")
  if [ -n "${XAUTHORITY:-}" ]; then client_env+=(XAUTHORITY="$XAUTHORITY"); fi
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then client_env+=(WAYLAND_DISPLAY="$WAYLAND_DISPLAY"); fi
  if [ -n "${QT_QPA_PLATFORM:-}" ]; then client_env+=(QT_QPA_PLATFORM="$QT_QPA_PLATFORM"); fi
  if [ -n "${QT_SCALE_FACTOR:-}" ]; then client_env+=(QT_SCALE_FACTOR="$QT_SCALE_FACTOR"); fi
  # The window report, for the GUI end-to-end test (client/ui/window_report.h).
  if [ -n "${VARNEL_UI_REPORT_DIR:-}" ]; then
    client_env+=(VARNEL_UI_REPORT_DIR="$VARNEL_UI_REPORT_DIR")
  fi
  if [ -n "${ASAN_OPTIONS:-}" ]; then client_env+=(ASAN_OPTIONS="$ASAN_OPTIONS"); fi
  if [ -n "${LSAN_OPTIONS:-}" ]; then client_env+=(LSAN_OPTIONS="$LSAN_OPTIONS"); fi
  echo "The client runs as user $RUN_USER."
  setpriv --reuid="$RUN_UID" --regid="$RUN_GID" --init-groups env -i "${client_env[@]}" \
    dbus-run-session -- sh -c \
    'printf %s varnel-demo | gnome-keyring-daemon --unlock --components=secrets >/dev/null
     exec "$@"' varnel-client "$APP/VarnelVPN Client" "$@" &
  local client=$!
  PIDS=("$client" "${PIDS[@]}")
  local status=0
  wait "$client" || status=$?
  return "$status"
}

status=0
run_client "$@" || status=$?
exit "$status"
