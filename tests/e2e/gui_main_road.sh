#!/usr/bin/env bash
# The main road as a user walks it, through the README's run command: the
# installed "VarnelVPN Client" that scripts/run.sh starts, on a virtual
# display with a window manager, driven by real input events (xdotool). It
# types the demo e-mail and password, logs in, picks the demo's OpenVPN
# account and the OpenVPN UDP type in Preferences, connects, waits for
# Connected with the clock running and the tunnel's address as the visible
# IP, disconnects, opens and closes Preferences, Diagnostics and About, and
# quits. Then nothing the run started may be left: no process, no session
# bus, no tunnel, no change to /etc/resolv.conf.
#
# The state is read from the client's log ("Changing status to: N",
# "Visible IP address: A") and from window titles, never from pixels. A
# screenshot of each step goes to $VARNEL_E2E_SHOTS.
#
# Needs root, /dev/net/tun, unshare, Xvfb, openbox, xdotool, wmctrl and
# ImageMagick; exits 77 (skipped) without them.
#
# Environment: VARNEL_E2E_BUILD (the build folder holding the programs),
# VARNEL_E2E_SHOTS (where the screenshots go).
set -uo pipefail

SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${VARNEL_E2E_BUILD:?the build folder}
SHOTS=${VARNEL_E2E_SHOTS:-"$BUILD_DIR/e2e-screenshots"}
WORK="$BUILD_DIR/e2e"
ROOT="$WORK/demo-root"

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root"
[ -c /dev/net/tun ] || skip "no /dev/net/tun"
for tool in unshare Xvfb openbox xdotool wmctrl xwininfo import compare openvpn openssl; do
  command -v "$tool" >/dev/null || skip "missing $tool"
done
unshare --net --mount --pid --fork --mount-proc true 2>/dev/null || skip "no namespaces"
for program in "src/apps/VarnelVPN Client" src/apps/VarnelHelper \
  tools/account-service/varnel-account-service tools/launcher/varnel-launcher; do
  [ -x "$BUILD_DIR/$program" ] || skip "not built: $program"
done

rm -rf "$WORK" "$SHOTS"
mkdir -p "$WORK" "$SHOTS"
LOG="$ROOT/home/.local/state/VarnelVPN/Logs/varnelvpn.log"
resolv_before=$(md5sum /etc/resolv.conf)
links_before=$(ip -o link show | awk -F': ' '{print $2}' | sort)

XVFB_PID=
WM_PID=
RUN_PID=
finish() {
  local pid
  for pid in $RUN_PID $WM_PID $XVFB_PID; do kill -TERM "$pid" 2>/dev/null; done
  for pid in $RUN_PID $WM_PID $XVFB_PID; do wait "$pid" 2>/dev/null; done
}
trap finish EXIT

fail() {
  echo "FAILED: $*" >&2
  shot "failure" 2>/dev/null
  echo "--- client log (tail)" >&2
  tail -n 40 "$LOG" >&2 2>/dev/null
  echo "--- run command" >&2
  tail -n 20 "$WORK/run.log" >&2 2>/dev/null
  exit 1
}

step=0
shot() {
  step=$((step + 1))
  local file
  file=$(printf '%s/%02d-%s.png' "$SHOTS" "$step" "$1")
  import -window root "$file"
  echo "[${SECONDS}s] screenshot $file"
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
log_has() { grep -qF -- "$1" "$LOG"; }
# X, Y, WIDTH, HEIGHT of a window's inside on the screen (xwininfo counts the
# window manager's frame right where xdotool's geometry does not).
geometry() {
  eval "$(xwininfo -id "$1" | awk '/Absolute upper-left X/ { print "X=" $4 }
    /Absolute upper-left Y/ { print "Y=" $4 } /Width:/ { print "WIDTH=" $2 }
    /Height:/ { print "HEIGHT=" $2 }')"
}
# The log line count, to look only at what comes after it.
log_mark() { wc -l <"$LOG" 2>/dev/null || echo 0; }
log_has_after() { tail -n +"$(($1 + 1))" "$LOG" | grep -qF -- "$2"; }
visible() { xdotool search --onlyvisible --name "$1"; }
# The window looks the same twice, a quarter second apart: its fades ended.
settled() {
  import -window "$1" "$WORK/settle-a.png" && sleep 0.25 &&
    import -window "$1" "$WORK/settle-b.png" &&
    [ "$(compare -metric AE "$WORK/settle-a.png" "$WORK/settle-b.png" null: 2>&1)" = 0 ]
}
window_gone() { ! xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }

# A display of our own, with a window manager as a desktop has.
number=140
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
  number=$((number + 1))
done
Xvfb ":$number" -screen 0 1280x800x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
export DISPLAY=":$number"
await 10 "the virtual display" xdotool getdisplaygeometry
# The window manager keeps its log and session in the XDG cache folder: the
# test's own, not the host user's.
XDG_CACHE_HOME="$WORK/openbox-cache" openbox >"$WORK/openbox.log" 2>&1 &
WM_PID=$!
await 10 "the window manager" wmctrl -m

# The README's run command, on the programs of this build.
started=$(date +%s.%N)
(cd "$SOURCE" && VARNEL_DEMO_PREBUILT=1 BUILD="$BUILD_DIR" VARNEL_DEMO_ROOT="$ROOT" \
  exec bash scripts/run.sh) >"$WORK/run.log" 2>&1 &
RUN_PID=$!

# 1. The login window.
await 60 "the login window" visible "^VarnelVPN Client$"
echo "run command to login window: $(awk -v a="$started" -v b="$(date +%s.%N)" \
  'BEGIN { printf "%.1f", b - a }') s"
LOGIN=$(visible "^VarnelVPN Client$" | head -1)
await 10 "the login window to settle" settled "$LOGIN"
shot "login-window"

# 2. Log in with the demo user, by keyboard as a user types.
xdotool windowactivate --sync "$LOGIN"
xdotool type --delay 30 "demo@varnelvpn.test"
xdotool key Return
xdotool type --delay 30 "demo-password"
shot "credentials-typed"
xdotool key Return
await 30 "the dialer after login" log_has "Changing status to: 1"
await 30 "the visible IP before connecting" log_has "Visible IP address: 127.0.0.1"
DIALER=$(visible "^VarnelVPN Client$" | head -1)
[ -n "$DIALER" ] || fail "no dialer window"
await 10 "the dialer to settle" settled "$DIALER"
shot "dialer-disconnected"

# The dialer's Menu button (bottom left) opens its menu; its items are
# chosen by keyboard: Connect/Disconnect, Active Account, Preferences,
# About, Quit.
open_menu() {
  xdotool windowactivate --sync "$DIALER"
  geometry "$DIALER"
  xdotool mousemove $((X + 35)) $((Y + HEIGHT - 23)) click 1
  sleep 0.3
}
menu_item() {
  open_menu
  local i
  for ((i = 0; i < $1; i++)); do xdotool key Down; done
  shift
  [ $# -gt 0 ] && xdotool key "$@"
  xdotool key Return
}

# 3. The demo's OpenVPN account: Active Account > Premium #W1001 (third).
open_menu
xdotool key Down Down Right Down Down
shot "choose-openvpn-account"
xdotool key Return
sleep 0.3

# 4. Preferences > Advanced: OpenVPN, "OpenVPN UDP".
menu_item 3
await 10 "Preferences" visible "^Preferences$"
PREFS=$(visible "^Preferences$" | head -1)
shot "preferences"
geometry "$PREFS"
xdotool mousemove $((X + 252)) $((Y + 28)) click 1 # the Advanced pane
# The window takes the size of the pane it shows; the Advanced pane's is wider.
advanced_shown() {
  geometry "$PREFS"
  [ "$WIDTH" -ge 500 ]
}
await 10 "the Advanced pane (the toolbar's fourth item)" advanced_shown
geometry "$PREFS"
xdotool mousemove $((X + 16)) $((Y + 157)) click 1 # OpenVPN
xdotool mousemove $((X + 489)) $((Y + 157)) click 1 # its type
sleep 0.3
xdotool key Home Return
sleep 0.3
shot "openvpn-udp-chosen"
wmctrl -i -c "$PREFS"
await 10 "Preferences to close" window_gone "^Preferences$"

# 5. Connect: Connected, the clock running, the tunnel's address.
mark=$(log_mark)
connect_at=$(date +%s.%N)
menu_item 1
await 60 "Connected" log_has_after "$mark" "Changing status to: 5"
connected_at=$(date +%s.%N)
echo "Connect to Connected: $(awk -v a="$connect_at" -v b="$connected_at" \
  'BEGIN { printf "%.1f", b - a }') s"
await 30 "the tunnel's visible IP" log_has_after "$mark" "Visible IP address: 10.8.0."
tail -n +"$((mark + 1))" "$LOG" | grep -q "Changing status to: 8" &&
  fail "the connect needed a retry"
sleep 1
import -window "$DIALER" "$WORK/clock-a.png"
await 5 "the clock to tick" bash -c "import -window $DIALER '$WORK/clock-b.png' &&
  [ \"\$(compare -metric AE '$WORK/clock-a.png' '$WORK/clock-b.png' null: 2>&1)\" != 0 ]"
ip=$(tail -n +"$((mark + 1))" "$LOG" | grep -o "Visible IP address: 10\.8\.0\.[0-9]*" | tail -1)
echo "$ip"
shot "connected"

# 6. Disconnect.
mark=$(log_mark)
menu_item 1
await 30 "Disconnected" log_has_after "$mark" "Changing status to: 1"
await 30 "the machine's own IP again" log_has_after "$mark" "Visible IP address: 127.0.0.1"
await 10 "the dialer to settle" settled "$DIALER"
shot "disconnected"

# 7. Preferences, Diagnostics and About open and close.
menu_item 3
await 10 "Preferences" visible "^Preferences$"
shot "preferences-again"
wmctrl -i -c "$(visible "^Preferences$" | head -1)"
await 10 "Preferences to close" window_gone "^Preferences$"

xdotool windowactivate --sync "$DIALER"
geometry "$DIALER"
xdotool mousemove $((X + WIDTH - 137)) $((Y + HEIGHT - 23)) click 1 # Diagnostics
await 10 "Diagnostics" visible "^Diagnostics$"
shot "diagnostics"
wmctrl -i -c "$(visible "^Diagnostics$" | head -1)"
await 10 "Diagnostics to close" window_gone "^Diagnostics$"

before=$(visible "VarnelVPN" | sort)
menu_item 4
about_open() {
  local w
  for w in $(visible "VarnelVPN" | sort); do
    grep -qx "$w" <<<"$before" || {
      echo "$w"
      return 0
    }
  done
  return 1
}
await 10 "About" about_open
ABOUT=$(about_open)
shot "about"
wmctrl -i -c "$ABOUT"
await 10 "About to close" bash -c "! xdotool search --onlyvisible --name VarnelVPN | grep -qx $ABOUT"

# 8. Quit; the run command ends with everything it started.
shot "before-quit"
menu_item 5
for _ in $(seq 300); do
  kill -0 "$RUN_PID" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$RUN_PID" 2>/dev/null && fail "the run command did not end after Quit"
echo "[${SECONDS}s] the run command ended"
wait "$RUN_PID"
status=$?
RUN_PID=
[ "$status" -eq 0 ] || fail "the run command ended with status $status"
shot "after-quit"

# Nothing left: no process of the run, no tunnel, the system's files as they were.
left=$(ps -eo pid=,args= | grep -F -e "$ROOT" -e "$BUILD_DIR/src/apps" -e "$BUILD_DIR/tools" |
  grep -v grep)
[ -z "$left" ] || fail "processes left behind: $left"
[ "$(md5sum /etc/resolv.conf)" = "$resolv_before" ] || fail "/etc/resolv.conf changed"
[ "$(ip -o link show | awk -F': ' '{print $2}' | sort)" = "$links_before" ] ||
  fail "network devices changed"
[ ! -S "$ROOT/run/user/bus" ] || ! ps -eo args= | grep -qF "unix:path=$ROOT/run/user/bus" ||
  fail "the session bus is still running"
# The run's credentials go; its logs stay beside the screenshots.
rm -rf "$ROOT" "$WORK"/*.png
echo "PASSED"
