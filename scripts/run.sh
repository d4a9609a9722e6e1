#!/usr/bin/env bash
# Installs the dependencies, builds the client, the helper and the local
# account service, and runs the product on this machine:
#   - the local account service (HTTPS on 127.0.0.1) with its demo user,
#   - VarnelVPN Client, installed with the helper it ships into a private
#     VARNEL_ROOT and pointed at the local service; logging in installs
#     VarnelHelper there through the client's own installation code, and the
#     helper is then started on its first connection by varnel-launcher.
# Without a display the client runs under Xvfb. Everything started here is
# stopped when the client quits.
#
# Log in with   e-mail: demo@varnelvpn.test   password: demo-password
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

BUILD=${BUILD:-build/run}
JOBS=${JOBS:-$(nproc)}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_BUILD_UI=ON \
  -DVARNEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target varnel_client VarnelHelper varnel-account-service \
  varnel-launcher varnel-sdk-service

APPS="$PWD/$BUILD/src/apps"
SERVICE="$PWD/$BUILD/tools/account-service/varnel-account-service"
LAUNCHER="$PWD/$BUILD/tools/launcher/varnel-launcher"

# A private system root and home: nothing outside it is touched.
ROOT=${VARNEL_DEMO_ROOT:-"$PWD/$BUILD/demo-root"}
mkdir -p "$ROOT/home"
export VARNEL_ROOT="$ROOT"
export HOME="$ROOT/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
export XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
export XDG_RUNTIME_DIR="$ROOT/run/user"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME"
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"

# Install the client with its resources and the helper it ships into the
# private root's application folder, the way a package would.
APP="$ROOT/opt/VarnelVPN Client"
mkdir -p "$APP"
cp -f "$APPS/VarnelVPN Client" "$APPS/VarnelVPN Client.plist" "$APPS/VarnelHelper" \
  "$APPS/eula.txt" "$APPS/acknowledgements.rtf" "$APP/"

PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The account service writes its certificate authority into the trusted
# bundle under VARNEL_ROOT, so the client trusts it.
URL_FILE="$ROOT/account-service.url"
rm -f "$URL_FILE"
"$SERVICE" --url-file "$URL_FILE" >"$ROOT/account-service.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do
  [ -s "$URL_FILE" ] && break
  sleep 0.1
done
if [ ! -s "$URL_FILE" ]; then
  echo "the local account service did not start (see $ROOT/account-service.log)" >&2
  exit 1
fi
export VARNEL_ACCOUNT_SERVICE_URLS
VARNEL_ACCOUNT_SERVICE_URLS=$(cat "$URL_FILE")

# --- local SDK service ---------------------------------------------------------
# Crash reports and usage analytics of the client go to a local SDK service
# (HTTPS on 127.0.0.1). It writes the installed client's Info.plist (API key,
# endpoints and its certificate authority, which the client trusts only for
# these loopback endpoints) and keeps what it receives in $ROOT/sdk-service;
# list it with: varnel-sdk-service --show "$ROOT/sdk-service"
SDK_SERVICE="$PWD/$BUILD/tools/sdk-service/varnel-sdk-service"
SDK_URL_FILE="$ROOT/sdk-service.url"
rm -f "$SDK_URL_FILE"
"$SDK_SERVICE" --data "$ROOT/sdk-service" --url-file "$SDK_URL_FILE" \
  --configure "$APP/VarnelVPN Client.plist" >"$ROOT/sdk-service.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do
  [ -s "$SDK_URL_FILE" ] && break
  sleep 0.1
done
if [ ! -s "$SDK_URL_FILE" ]; then
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
  while ! ls "$RECORDS"/*.service >/dev/null 2>&1; do sleep 0.5; done
  exec "$LAUNCHER" --records "$RECORDS"
) >"$ROOT/launcher.log" 2>&1 &
PIDS+=($!)

echo "Account service: $VARNEL_ACCOUNT_SERVICE_URLS"
echo "Log in with e-mail demo@varnelvpn.test and password demo-password."
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # No display: a virtual one (Xvfb) on the first free display number.
  number=99
  while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
    number=$((number + 1))
  done
  Xvfb ":$number" -screen 0 1280x800x24 -nolisten tcp >"$ROOT/xvfb.log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$number" ] && break
    sleep 0.1
  done
  export DISPLAY=":$number"
  echo "No display: running under Xvfb on $DISPLAY."
fi

# The client runs in the background so that a signal to this script reaches
# the trap at once; the trap then stops the client with everything else.
"$APP/VarnelVPN Client" "$@" &
CLIENT_PID=$!
PIDS=("$CLIENT_PID" "${PIDS[@]}")
status=0
wait "$CLIENT_PID" || status=$?
exit "$status"
