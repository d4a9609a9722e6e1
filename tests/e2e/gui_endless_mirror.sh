#!/usr/bin/env bash
# The installed "VarnelVPN Client" (started by the README's run command) on a
# virtual display, against an account service that never stops answering:
# its only server streams an endless reply to /ping/ and to every other
# path. A user types the demo e-mail and password and logs in; the client
# must stay up, show the log-in error, and take the OK that dismisses it.
#
# Everything runs in a private network namespace of its own (loopback only),
# so nothing the client tries can leave the machine.
#
# Needs root, unshare, Xvfb, openbox, xdotool, wmctrl, ImageMagick and
# python3; exits 77 (skipped) without them.
#
# Environment: VARNEL_E2E_BUILD (the build folder holding the programs),
# VARNEL_E2E_SHOTS (where the screenshots go).
set -uo pipefail

SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${VARNEL_E2E_BUILD:?the build folder}
SHOTS=${VARNEL_E2E_SHOTS:-"$BUILD_DIR/e2e-screenshots"}/endless-mirror
WORK="$BUILD_DIR/e2e-endless"
ROOT="$WORK/demo-root"
PYTHON=/usr/bin/python3

skip() {
  echo "SKIPPED: $*"
  exit 77
}

if [ "${VARNEL_E2E_STAGE:-}" != inside ]; then
  [ "$(id -u)" -eq 0 ] || skip "not root"
  for tool in unshare ip Xvfb openbox xdotool wmctrl import; do
    command -v "$tool" >/dev/null || skip "missing $tool"
  done
  [ -x "$PYTHON" ] || skip "missing $PYTHON"
  unshare --net --mount --fork true 2>/dev/null || skip "no namespaces"
  for program in "src/apps/VarnelVPN Client" src/apps/VarnelHelper \
    tools/account-service/varnel-account-service tools/launcher/varnel-launcher; do
    [ -x "$BUILD_DIR/$program" ] || skip "not built: $program"
  done
  rm -rf "$WORK" "$SHOTS"
  mkdir -p "$WORK" "$SHOTS"
  VARNEL_E2E_STAGE=inside exec unshare --net --mount --fork bash "$0"
fi

# ---- Inside a private network namespace.
ip link set lo up
LOG="$ROOT/home/.local/state/VarnelVPN/Logs/varnelvpn.log"

SERVER_PID=
XVFB_PID=
WM_PID=
RUN_PID=
finish() {
  local pid
  for pid in $RUN_PID $WM_PID $XVFB_PID $SERVER_PID; do kill -TERM "$pid" 2>/dev/null; done
  for pid in $RUN_PID $WM_PID $XVFB_PID $SERVER_PID; do wait "$pid" 2>/dev/null; done
}
trap finish EXIT

step=0
shot() {
  step=$((step + 1))
  import -window root "$(printf '%s/%02d-%s.png' "$SHOTS" "$step" "$1")"
}
fail() {
  echo "FAILED: $*" >&2
  shot "failure" 2>/dev/null
  echo "--- requests the server saw" >&2
  tail -n 20 "$WORK/requests.log" >&2 2>/dev/null
  echo "--- client log (tail)" >&2
  tail -n 40 "$LOG" >&2 2>/dev/null
  echo "--- windows" >&2
  wmctrl -l >&2 2>/dev/null
  echo "--- run command" >&2
  tail -n 20 "$WORK/run.log" >&2 2>/dev/null
  exit 1
}
# Waits (polling, 0.1 s) until a command succeeds; the timeout is a safety net.
await() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $what"
    sleep 0.1
  done
}
visible() { xdotool search --onlyvisible --name "$1"; }
# At least N windows on the screen with the title $1 (as the window manager
# lists them).
windows_named() { [ "$(wmctrl -l | grep -c -- " $1\$")" -ge "$2" ]; }
log_has() { grep -qF -- "$1" "$LOG"; }
saw_request() { grep -qF -- "$1" "$WORK/requests.log"; }
# The client is up: the run command (which ends with it) runs, and its login
# window is still on the screen.
client_running() { kill -0 "$RUN_PID" 2>/dev/null && windows_named "VarnelVPN Client" 1; }

# The hostile account service: every reply is a JSON head and a body that
# never ends (until the client goes away).
"$PYTHON" - "$WORK/port" "$WORK/requests.log" <<'EOF' &
import http.server, socketserver, sys

port_file, log_file = sys.argv[1], sys.argv[2]

class Endless(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    def reply(self):
        with open(log_file, "a") as log:
            log.write(f"{self.command} {self.path}\n")
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.end_headers()
        block = b" " * 65536
        try:
            self.wfile.write(b'{"success": true, "padding": "')
            while True:
                self.wfile.write(block)
        except OSError:
            pass
    do_GET = do_POST = reply
    def log_message(self, *args):
        pass

class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

server = Server(("127.0.0.1", 0), Endless)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
import os
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
EOF
SERVER_PID=$!
touch "$WORK/requests.log"
await 10 "the endless server" test -s "$WORK/port"
URL="http://127.0.0.1:$(cat "$WORK/port")"

# A display of our own, with a window manager as a desktop has.
number=150
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
  number=$((number + 1))
done
Xvfb ":$number" -screen 0 1280x800x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
export DISPLAY=":$number"
await 10 "the virtual display" xdotool getdisplaygeometry
XDG_CACHE_HOME="$WORK/openbox-cache" openbox >"$WORK/openbox.log" 2>&1 &
WM_PID=$!
await 10 "the window manager" wmctrl -m

# The README's run command, pointed at the endless service.
(cd "$SOURCE" && VARNEL_DEMO_PREBUILT=1 BUILD="$BUILD_DIR" VARNEL_DEMO_ROOT="$ROOT" \
  VARNEL_ACCOUNT_SERVICE_URLS="$URL" exec bash scripts/run.sh) >"$WORK/run.log" 2>&1 &
RUN_PID=$!

await 60 "the login window" visible "^VarnelVPN Client$"
LOGIN=$(visible "^VarnelVPN Client$" | head -1)
shot "login-window"
xdotool windowactivate --sync "$LOGIN"
xdotool type --delay 30 "demo@varnelvpn.test"
xdotool key Return
xdotool type --delay 30 "demo-password"
xdotool key Return

# The probe streams first, then the login itself: the client takes neither
# in whole, stays up, and shows the error in a second window.
await 60 "the probe of the endless server" saw_request "GET /ping/"
await 90 "the failed login in the client's log" log_has "Login failed: "
await 20 "the log-in error" windows_named "VarnelVPN Client" 2
shot "login-error"
client_running || fail "the client went down"

# OK dismisses it; the login window is there to try again.
xdotool key Return
only_login() { ! windows_named "VarnelVPN Client" 2 && windows_named "VarnelVPN Client" 1; }
await 20 "the error to be dismissed" only_login
shot "login-again"
client_running || fail "the client ended after the error"
echo "PASSED: the client stayed up against an endless reply and showed the log-in error"
