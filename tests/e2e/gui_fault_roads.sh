#!/usr/bin/env bash
# The roads back from a failure, as a user walks them through the README's
# run command: the installed "VarnelVPN Client" on a virtual display with a
# window manager, driven by real input events (xdotool).
#
#   A. With the demo's VPN servers: an attempt with a type that fails
#      (IKEv2), its failure text gone when another account is chosen; the
#      same failure again, its text gone when OpenVPN UDP is chosen in
#      Preferences, and connected; the account switched while connected (a
#      notice, and the running connection stays shown until it ends);
#      OpenVPN Proxy, Change Location > Switch and back to OpenVPN UDP,
#      which must connect at once on the account's own UDP port; then the
#      server killed under the running connection, over UDP and over TCP:
#      Reconnecting (with the reason, the shield grey) within 60 s, little
#      CPU while the server is gone, and Connected again by itself when it
#      is back.
#      Before all that: a second start of the client brings the running
#      one's dialer forward and ends (one client per session), and SSTP,
#      which a machine without /dev/ppp cannot make, cannot be chosen.
#      The UDP server's outage lasts at least 50 s, and the tunnel is back
#      within 20 s of its return (it answers on every port of the list).
#   B. With an account service that refuses every connection: the log-in
#      error comes within 2 s, worded as our failure, not the server's.
#   C. With a peer that answers junk: the same, each request asked once.
#   D. With a service that accepts and never answers: the log-in error
#      within 10 s after the 25 s base-URL probe, and Quit works while the
#      window waits.
#
# What the window shows is read from the dialer's own account of it (the
# client's test hook: started with --dialer-state-file=PATH it writes its
# visible texts, the control shown and the shield's image there), from the
# client's log and from window titles, never from pixels. A screenshot of
# each step goes to $VARNEL_E2E_SHOTS.
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
# What the dialer shows (its test hook); $ROOT/tmp is the demo's world-
# writable temporary folder, which the client's user can write to.
STATE="$ROOT/tmp/dialer-state.txt"
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
  echo "--- what the dialer shows" >&2
  cat "$STATE" >&2 2>/dev/null
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
window_gone_id() { ! xdotool search --onlyvisible --name "" 2>/dev/null | grep -x "$1" >/dev/null; }
settled() {
  import -window "$1" "$WORK/settle-a.png" && sleep 0.25 &&
    import -window "$1" "$WORK/settle-b.png" || return 1
  # A blinking text cursor (1 x 14 pixels) is not a change: on a busy
  # machine the two pictures can fall in opposite halves of every blink.
  compare -metric AE "$WORK/settle-a.png" "$WORK/settle-b.png" null: >"$WORK/settle.log" 2>&1
  awk '{ exit !($1 + 0 <= 50) }' "$WORK/settle.log"
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
# The dialer shows each of the lines "key: value" given.
shows() {
  local line
  for line in "$@"; do grep -qxF -- "$line" "$STATE" 2>/dev/null || return 1; done
}
# The value the dialer shows for a key ("" when it shows none).
shown() { sed -n "s/^$1: //p" "$STATE" 2>/dev/null | head -1; }
# Fails unless the dialer shows each of the lines given within 3 s (the
# time of a text's fade out and in).
expect_shown() {
  local what=$1
  shift
  wait_quietly 3 shows "$@" || fail "$what: the dialer does not show: $*"
}
# The route and set-up warnings, as the client words them.
ROUTE_WARNING="Connected, but a route could not be added: some traffic may not pass through the VPN."
SETUP_WARNING="Connected, but errors occurred while the connection was set up: some traffic may not pass through the VPN."
# Connected, as the window must show it: the shield green, the control
# "Disconnect", no failure text, and the warning line beside it exactly when
# OpenVPN reported the connection with a route error or other errors (in
# the client's log after mark $1).
expect_connected() {
  local mark=$1 warning=
  if log_has_after "$mark" ",CONNECTED,ROUTE_ERROR"; then
    warning=$ROUTE_WARNING
  elif log_has_after "$mark" ",CONNECTED,ERROR"; then
    warning=$SETUP_WARNING
  fi
  await 10 "the warning line to agree with OpenVPN" shows "warning: $warning"
  expect_shown "Connected" "status: Connected" "shield: green" "control: Disconnect" \
    "message: " "tray: Status Bar Connected"
  [ -n "$warning" ] && echo "warning beside Connected: $warning"
  return 0
}
# CPU time (user + system ticks) of the demo's helper and of its children
# (its OpenVPN). The helper is the one installed in this run's root.
helper_ticks() {
  local d exe helper="" total=0 stat
  for d in /proc/[0-9]*; do
    exe=$(readlink "$d/exe" 2>/dev/null) || continue
    case "$exe" in "$ROOT"/*/VarnelHelper) helper=${d#/proc/} && break ;; esac
  done
  [ -n "$helper" ] || return 1
  for d in /proc/[0-9]*; do
    stat=$(cat "$d/stat" 2>/dev/null) || continue
    # shellcheck disable=SC2086
    set -- ${stat##*) }
    [ "${d#/proc/}" = "$helper" ] || [ "$2" = "$helper" ] || continue
    total=$((total + ${12} + ${13}))
  done
  echo "$total"
}
# Prints the CPU share (percent of one core) that the helper and its
# OpenVPN used over $1 seconds, and fails at 5 % or more.
expect_idle_while_gone() {
  local seconds=$1 name=$2 before after hz percent
  before=$(helper_ticks) || fail "the demo's helper process was not found"
  sleep "$seconds"
  after=$(helper_ticks) || fail "the demo's helper process was not found"
  hz=$(getconf CLK_TCK)
  percent=$(awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" \
    'BEGIN { printf "%.1f", 100 * t / hz / s }')
  echo "CPU of helper and OpenVPN while the $name server is gone: $percent % of one core" \
    "($((after - before)) ticks of $((hz * seconds)))"
  awk -v p="$percent" 'BEGIN { exit !(p < 5) }' || fail "helper and OpenVPN used $percent % of one core"
}

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
  # The run command hands its arguments to the client: the test hook.
  (cd "$SOURCE" && env "$@" VARNEL_DEMO_PREBUILT=1 BUILD="$BUILD_DIR" VARNEL_DEMO_ROOT="$ROOT" \
    bash scripts/run.sh "--dialer-state-file=$STATE") >"$WORK/run.log" 2>&1 &
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

# The demo client's process (as the run command started it).
client_pid() {
  local d
  for d in /proc/[0-9]*; do
    [ "$(readlink "$d/exe" 2>/dev/null)" = "$ROOT/opt/VarnelVPN Client/VarnelVPN Client" ] &&
      echo "${d#/proc/}" && return 0
  done
  return 1
}
# Starts the client a second time, as the demo's user in the run's own
# namespaces; it must bring the running dialer forward and end (status 0)
# within 10 s, and no second window may appear.
second_start() {
  local pid uid gid started status seconds windows
  pid=$(client_pid) || fail "the demo client's process was not found"
  uid=$(stat -c %u "$ROOT/run/user")
  gid=$(stat -c %g "$ROOT/run/user")
  xdotool windowminimize --sync "$DIALER"
  await 10 "the dialer to be minimized" window_gone_id "$DIALER"
  started=$(now)
  timeout 10 nsenter -t "$pid" --net --mount --pid -- setpriv --reuid="$uid" --regid="$gid" \
    --clear-groups env -i HOME="$ROOT/home" XDG_CONFIG_HOME="$ROOT/home/.config" \
    XDG_DATA_HOME="$ROOT/home/.local/share" XDG_CACHE_HOME="$ROOT/home/.cache" \
    XDG_STATE_HOME="$ROOT/home/.local/state" XDG_RUNTIME_DIR="$ROOT/run/user" \
    VARNEL_ROOT="$ROOT" VARNEL_ACCOUNT_SERVICE_URLS="$(cat "$ROOT/account-service.url")" \
    DISPLAY="$DISPLAY" PATH=/usr/bin:/bin LANG=C.UTF-8 \
    "$ROOT/opt/VarnelVPN Client/VarnelVPN Client" >"$WORK/second-start.log" 2>&1
  status=$?
  seconds=$(since "$started")
  [ "$status" = 0 ] || fail "the second start did not end by itself (status $status after $seconds s)"
  echo "second start: ended after $seconds s"
  await 5 "the running dialer brought forward" bash -c "xdotool search --onlyvisible --name '' | grep -qx '$DIALER'"
  await 5 "the running dialer to be the active window" bash -c "[ \"\$(xdotool getactivewindow)\" = '$DIALER' ]"
  windows=$(visible "^VarnelVPN Client$" | wc -l)
  [ "$windows" = 1 ] || fail "$windows client windows after the second start"
  shot "second-start-brought-dialer-forward"
}

# ---------------------------------------------------------------- road A
start_run
type_credentials
xdotool key Return
await 30 "the dialer after login" log_has "Changing status to: 1"
await 30 "the visible IP" log_has "Visible IP address: 127.0.0.1"
DIALER=$(visible "^VarnelVPN Client$" | head -1)
[ -n "$DIALER" ] || fail "no dialer window"
await 10 "the dialer's account of what it shows" test -s "$STATE"
await 10 "the dialer to settle" settled "$DIALER"
expect_shown "the dialer after login" "status: Disconnected" "shield: grey" "control: Connect"
shot "dialer"

# A0. One client per session.
second_start
await 10 "the dialer to settle" settled "$DIALER"

# A0b. A type this machine cannot make is greyed out: SSTP without PPP.
if [ ! -e /dev/ppp ]; then
  choose_account 1 # Basic #W1002
  await 10 "the Basic account" shows "account: Basic #W1002"
  open_advanced
  click_radio 3
  sleep 0.5
  shot "sstp-greyed-without-ppp"
  close_prefs
  wait_quietly 2 shows "protocol: SSTP" && fail "SSTP could be chosen on a machine without /dev/ppp"
fi
choose_account 3 # Premium #W1001
await 10 "the Premium account" shows "account: Premium #W1001"

# A1. IKEv2 fails (the helper serves no such request); its text goes when
# another account is chosen.
IKEV2_FAILURE="The IKEv2 connection type is not supported. Please choose another connection type in the preferences."
open_advanced
click_radio 6
sleep 0.3
shot "ikev2-chosen"
close_prefs
# Tries IKEv2 and waits for its failure, shown on the message line.
ikev2_fails() {
  local mark
  mark=$(log_mark)
  menu_item 1
  await 30 "the failed attempt" log_has_after "$mark" "IKEv2 connection type is not supported"
  await 10 "Disconnected after the failure" log_has_after "$mark" "Changing status to: 1"
  await 10 "the failure on the message line" shows "message: $IKEV2_FAILURE"
  expect_shown "the failed attempt" "status: Disconnected" "shield: grey" "control: Connect" \
    "control-enabled: yes"
  await 10 "the dialer to settle" settled "$DIALER"
}
ikev2_fails
shot "failed-attempt"
choose_account 2 # Lite #W1003
await 10 "the failure text to go with another account" shows "message: " "account: Lite #W1003"
shot "failure-text-cleared-by-account"
choose_account 3 # back to Premium #W1001, still on IKEv2
await 10 "the Premium account" shows "account: Premium #W1001"

# A2. The same failure; then another type in Preferences: the radios are
# free again, and the failure text goes with the type it was about.
ikev2_fails
shot "failed-again"
open_advanced
shot "advanced-after-failure"
choose_openvpn 1
shot "openvpn-udp-after-failure"
close_prefs
await 10 "the failure text to go with another type" shows "message: " "protocol: OpenVPN UDP"
await 10 "the dialer to settle" settled "$DIALER"
shot "failure-text-cleared-by-type"
mark=$(log_mark)
menu_item 1
await 60 "Connected after the failed attempt" log_has_after "$mark" "Changing status to: 5"
await 30 "the tunnel's visible IP" log_has_after "$mark" "Visible IP address: 10.8.0."
await 10 "Connected in the window" shows "status: Connected"
expect_connected "$mark"
await 10 "the dialer to settle" settled "$DIALER"
shot "connected-after-failure"

# A3. Another account while connected: a notice says what happens, and the
# running connection stays shown, its account too, until it ends.
running_location=$(shown location)
running_protocol=$(shown protocol)
choose_account 2 # Lite #W1003
notice_open() {
  local w
  for w in $(visible "^VarnelVPN Client$"); do
    [ "$w" != "$DIALER" ] && NOTICE=$w && return 0
  done
  return 1
}
await 10 "the account switch notice (a window of its own)" notice_open
await 10 "the account switch notice over the dialer" grep -q "^dialog: accountSwitchAlert: Lite #W1003 is now the active account. The running connection stays connected with Premium #W1001." "$STATE"
await 10 "the notice to settle" settled "$NOTICE"
shot "account-switch-notice"
xdotool windowactivate --sync "$NOTICE" key Return
await 10 "the notice to close" window_gone_id "$NOTICE"
await 10 "the notice to leave the dialer" bash -c "! grep -q '^dialog: ' '$STATE'"
await 10 "the dialer to settle" settled "$DIALER"
expect_shown "the running connection after another account was chosen" \
  "status: Connected" "shield: green" "account: Premium #W1001" \
  "location: $running_location" "protocol: $running_protocol"
shot "connected-other-account-chosen"
mark=$(log_mark)
menu_item 1
await 30 "Disconnected" log_has_after "$mark" "Changing status to: 1"
await 10 "the chosen account once the connection ended" shows "status: Disconnected" \
  "account: Lite #W1003"
expect_shown "Disconnected" "shield: grey" "warning: "
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
await 10 "Connected in the window" shows "status: Connected"
expect_connected "$mark"
await 10 "the dialer to settle" settled "$DIALER"
shot "connected-udp-after-round-trip"

# A5. The server dies under a running connection, then comes back: the
# dialer leaves Connected within 60 s (the helper's reason on the message
# line, the shield grey), the helper and OpenVPN wait for it without
# spinning, and the dialer returns to Connected by itself.
# The pids (on this side) of the demo servers whose names start with NAME
# (udp-: the UDP server on all its ports; tcp-443.).
server_pids() {
  ps -eo pid=,args= | grep -F -- "--cd $ROOT/vpn " | grep -F -- "--status $1" |
    grep -v grep | awk '{ print $1 }'
}
RESTARTED=()
# Kills the servers NAME; waits for Reconnecting in the window, measures the
# CPU of helper and OpenVPN over IDLE seconds; starts the servers again in
# the same network namespace once they have been gone 50 s, and waits for
# Connected, which must come within 20 s of their return.
server_dies_and_returns() {
  local name=$1 idle=$2 pid other i
  local pids=()
  mapfile -t pids < <(server_pids "$name")
  [ "${#pids[@]}" -gt 0 ] || fail "no demo server $name"
  for i in "${!pids[@]}"; do cp "/proc/${pids[$i]}/cmdline" "$WORK/server-$i.cmdline"; done
  other=$(server_pids tcp-1194. | head -1)
  local mark died seconds
  mark=$(log_mark)
  died=$(now)
  kill -KILL "${pids[@]}"
  wait_quietly 60 shows "status: Reconnecting" ||
    fail "the window did not show Reconnecting within 60 s of the $name server's death"
  seconds=$(since "$died")
  echo "server death to Reconnecting in the window ($name): $seconds s"
  expect_shown "Reconnecting" "shield: grey" "control: Cancel" "warning: " \
    "tray: Status Bar Disconnected"
  # The loss, or (once OpenVPN has tried again) that the server cannot be
  # reached: either is the helper's reason.
  await 10 "the helper's reason on the message line" \
    grep -qE "^message: (The connection to the VPN server was lost|The VPN server cannot be reached)" \
    "$STATE"
  echo "message while reconnecting ($name): $(shown message)"
  await 10 "the dialer to settle" settled "$DIALER"
  shot "reconnecting-after-$name-died"
  expect_idle_while_gone "$idle" "$name"
  log_has_after "$mark" "Changing status to: 1" && fail "the dialer gave up"
  shows "status: Reconnecting" || fail "the dialer left Reconnecting while the server was gone"
  # An outage of 50 s at least: OpenVPN has left the first remote by then.
  while awk -v s="$(since "$died")" 'BEGIN { exit !(s < 50) }'; do sleep 0.5; done
  shows "status: Reconnecting" || fail "the dialer left Reconnecting while the server was gone"
  # The same servers again, where they were.
  local back args
  mark=$(log_mark)
  back=$(now)
  for i in "${!pids[@]}"; do
    mapfile -d '' args <"$WORK/server-$i.cmdline"
    nsenter -t "$other" --net -- "${args[@]}" </dev/null >/dev/null 2>&1 &
    RESTARTED+=($!)
  done
  await 90 "Connected when the $name server returned" shows "status: Connected"
  seconds=$(since "$back")
  echo "server return to Connected in the window ($name, after $(since "$died") s away): $seconds s"
  awk -v s="$seconds" 'BEGIN { exit !(s <= 20) }' ||
    fail "Connected $seconds s after the $name server returned (at most 20 s)"
  await 30 "the client's log of the return" log_has_after "$mark" "Changing status to: 5"
  expect_connected "$mark"
  await 10 "the dialer to settle" settled "$DIALER"
  shot "connected-after-$name-returned"
}
# (30 s: more than one whole attempt of OpenVPN's, its restart included.)
server_dies_and_returns udp- 30

mark=$(log_mark)
menu_item 1
await 30 "Disconnected" log_has_after "$mark" "Changing status to: 1"
await 10 "Disconnected in the window" shows "status: Disconnected" "shield: grey"

# The same over TCP (the account's own TCP port, 443).
open_advanced
choose_openvpn 2
close_prefs
await 30 "the change to TCP" log_has "The OpenVPN transport is now TCP."
mark=$(log_mark)
menu_item 1
await 60 "Connected over TCP" log_has_after "$mark" "Changing status to: 5"
await 10 "Connected in the window" shows "status: Connected"
expect_connected "$mark"
server_dies_and_returns tcp-443. 10
mark=$(log_mark)
menu_item 1
await 30 "Disconnected" log_has_after "$mark" "Changing status to: 1"
await 10 "Disconnected in the window" shows "status: Disconnected" "shield: grey"

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
  await 60 "the log-in error" alert_open
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

# D. A service that accepts every connection and never answers.
python3 - "$WORK/hung.port" <<'PY' &
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 0))
s.listen(64)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
held = []
while True:
    c, _ = s.accept()
    held.append(c)
PY
JUNK_PID=$!
await 10 "the hung server" test -s "$WORK/hung.port"
failed_login "https://127.0.0.1:$(cat "$WORK/hung.port")"
echo "log-in error with the service never answering: $ERROR_SECONDS s"
awk -v s="$ERROR_SECONDS" 'BEGIN { exit !(s >= 25 && s <= 37) }' ||
  fail "the silent service took $ERROR_SECONDS s (the 25 s probe, then at most 10 s)"
shot "login-hung-service"
stop_run
# Quit while the window waits for the log-in reply.
start_run VARNEL_ACCOUNT_SERVICE_URLS="https://127.0.0.1:$(cat "$WORK/hung.port")"
type_credentials
xdotool key Return
sleep 28
shot "login-waiting-for-hung-service"
xdotool windowactivate --sync "$LOGIN" key ctrl+q
at=$(now)
for _ in $(seq 50); do
  kill -0 "$RUN_PID" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$RUN_PID" 2>/dev/null && fail "Quit did not end the client while it waited for the log-in"
echo "Quit while waiting for the log-in: ended after $(since "$at") s"
wait "$RUN_PID"
RUN_PID=
kill -TERM "$JUNK_PID" 2>/dev/null
wait "$JUNK_PID" 2>/dev/null
JUNK_PID=

[ "$(md5sum /etc/resolv.conf)" = "$resolv_before" ] || fail "/etc/resolv.conf changed"
rm -rf "$ROOT" "$WORK"/*.png
echo "[${SECONDS}s] PASSED"
