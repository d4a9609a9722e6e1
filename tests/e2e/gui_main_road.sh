#!/usr/bin/env bash
# The main road as a user walks it, through the README's run command: the
# installed "VarnelVPN Client" that scripts/run.sh starts, on a virtual
# display with a window manager that draws title bars (openbox), driven by
# real input events (xdotool), at 100 % or (VARNEL_E2E_SCALE=2) at 200 %
# scale (QT_SCALE_FACTOR, on a screen twice as large).
#
# It types a wrong password first (the log-in error alert), then the demo
# e-mail and password, logs in, opens Change location and tests every
# server of the demo's OpenVPN account (ping and download speed: figures,
# not "N/A"), picks the OpenVPN UDP type in Preferences (through all four
# panes), connects, waits for Connected with the clock running and the
# tunnel's address as the visible IP, picks another account while
# connected (the alert that says the connection keeps its account) and back,
# disconnects, opens and closes Diagnostics, About (a dialog of the dialer,
# closed by Escape) and the licence, switches
# server with the account service stopped (the switch-failed alert),
# connects again and quits while connected. Then nothing the run started may
# be left: no process, no session bus, no tunnel, no change to
# /etc/resolv.conf.
#
# Every window and alert on the way is pictured (the whole screen, title
# bars included) into $VARNEL_E2E_SHOTS, and checked through the client's
# window report (VARNEL_UI_REPORT_DIR, client/ui/window_report.h), which
# tells what Qt's own geometry says: no label, button or table cell narrower
# than its text, and no title wider than the frame the window manager gave
# the window (its width as X tells it, borders from _NET_FRAME_EXTENTS).
# The report also says where each control is, so the clicks land at any
# scale. The connection state is read from the client's log ("Changing
# status to: N", "Visible IP address: A").
#
# Needs root, /dev/net/tun, unshare, Xvfb, openbox, xdotool, wmctrl,
# xwininfo, xprop and ImageMagick; exits 77 (skipped) without them.
#
# Environment: VARNEL_E2E_BUILD (the build folder holding the programs),
# VARNEL_E2E_SHOTS (where the screenshots go), VARNEL_E2E_SCALE (1 or 2).
set -uo pipefail

SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${VARNEL_E2E_BUILD:?the build folder}
SCALE=${VARNEL_E2E_SCALE:-1}
case "$SCALE" in
  1) WORK="$BUILD_DIR/e2e" ;;
  2) WORK="$BUILD_DIR/e2e-200" ;;
  *)
    echo "VARNEL_E2E_SCALE must be 1 or 2" >&2
    exit 2
    ;;
esac
SHOTS=${VARNEL_E2E_SHOTS:-"$BUILD_DIR/e2e-screenshots"}
ROOT="$WORK/demo-root"

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root"
[ -c /dev/net/tun ] || skip "no /dev/net/tun"
for tool in unshare Xvfb openbox xdotool wmctrl xwininfo xprop import compare openvpn openssl \
  python3 curl ping; do
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
# The window report's folder: the client runs as the demo's user, who must
# be able to answer (and remove) the requests written here.
REPORTS="$WORK/reports"
mkdir -p "$REPORTS"
chmod 0777 "$REPORTS"
REPORT="$WORK/report.txt"

XVFB_PID=
WM_PID=
RUN_PID=
finish() {
  local pid
  for pid in $RUN_PID $WM_PID $XVFB_PID; do kill -TERM "$pid" 2>/dev/null; done
  for pid in $RUN_PID $WM_PID $XVFB_PID; do wait "$pid" 2>/dev/null; done
}
trap finish EXIT

step=0
shot() {
  step=$((step + 1))
  local file
  file=$(printf '%s/%02d-%s.png' "$SHOTS" "$step" "$1")
  import -window root "$file"
  echo "[${SECONDS}s] screenshot $file"
}

fail() {
  echo "FAILED: $*" >&2
  shot "failure" 2>/dev/null
  echo "--- last settle check: $(cat "$WORK/settle.log" 2>/dev/null)" >&2
  echo "--- last window report" >&2
  cat "$REPORT" >&2 2>/dev/null
  echo "--- client log (tail)" >&2
  tail -n 40 "$LOG" >&2 2>/dev/null
  local id
  for id in $(awk -F'\t' '$1 == "window" { print $2 }' "$REPORT" 2>/dev/null); do
    echo "--- X window $id: $(xwininfo -id "$id" 2>&1 | grep -E 'Width|Height|Map State|Absolute' | tr -s ' \n' ' ')" >&2
    xprop -id "$id" _NET_WM_STATE _NET_FRAME_EXTENTS WM_NORMAL_HINTS >&2 2>&1
  done
  echo "--- account service (tail)" >&2
  tail -n 5 "$ROOT/account-service.log" >&2 2>/dev/null
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
log_has() { grep -qF -- "$1" "$LOG"; }
# The log line count, to look only at what comes after it.
log_mark() { wc -l <"$LOG" 2>/dev/null || echo 0; }
# grep reads to the end (no -q): under pipefail, a grep that stopped at the
# match would fail the pipeline whenever the writer was still writing.
log_has_after() { tail -n +"$(($1 + 1))" "$LOG" | grep -F -- "$2" >/dev/null; }

# --- The window report -------------------------------------------------------
# A fresh report of the client's windows into $REPORT; fails when the client
# does not answer within 20 s.
tag=0
ask() {
  tag=$((tag + 1))
  printf '%s\n' "$tag" >"$REPORTS/request.tmp"
  mv -f "$REPORTS/request.tmp" "$REPORTS/request"
  local deadline=$((SECONDS + 20))
  until [ ! -e "$REPORTS/request" ] &&
    [ "$(head -n 1 "$REPORTS/report" 2>/dev/null)" = "request	$tag" ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
  cp "$REPORTS/report" "$REPORT"
}
# The X id of the shown window with that object name, from the last report.
window_id() { awk -F'\t' -v n="$1" '$1 == "window" && $9 == n { print $2; exit }' "$REPORT"; }
# A fresh report shows (or, with "!", no longer shows) the window.
shown() { ask && [ -n "$(window_id "$1")" ]; }
gone() { ask && [ -z "$(window_id "$1")" ]; }
# A control's field (see window_report.h) from the last report: item_field
# WINDOW NAME FIELD, FIELD 4 = x ... 8 = enabled, 9 = text.
item_field() {
  awk -F'\t' -v w="$1" -v n="$2" -v f="$3" \
    '$1 == "item" && $2 == w && $3 == n { print $f; exit }' "$REPORT"
}
item_enabled() { ask && [ "$(item_field "$1" "$2" 8)" = 1 ]; }
item_text_is() { ask && [ "$(item_field "$1" "$2" 9)" = "$3" ]; }
# Clicks the middle of a control of the last report.
click_item() {
  local at
  at=$(awk -F'\t' -v w="$1" -v n="$2" '$1 == "item" && $2 == w && $3 == n {
    print int($4 + $6 / 2), int($5 + $7 / 2); exit }' "$REPORT")
  [ -n "$at" ] || fail "no control $2 in window $1"
  # shellcheck disable=SC2086  # two numbers
  xdotool mousemove $at click 1
}
# Clicks the middle of a table cell: click_cell WINDOW TABLE ROW COLUMN.
click_cell() {
  local at
  at=$(awk -F'\t' -v w="$1" -v t="$2" -v r="$3" -v c="$4" \
    '$1 == "cell" && $2 == w && $3 == t && $4 == r && $5 == c {
      print int($6 + $8 / 2), int($7 + $9 / 2); exit }' "$REPORT")
  [ -n "$at" ] || fail "no cell $3,$4 in $2"
  # shellcheck disable=SC2086  # two numbers
  xdotool mousemove $at click 1
}
cell_text() {
  awk -F'\t' -v w="$1" -v t="$2" -v r="$3" -v c="$4" \
    '$1 == "cell" && $2 == w && $3 == t && $4 == r && $5 == c { print $10; exit }' "$REPORT"
}

# Every text of every shown window fits (the last report): no cut text, and
# each title no wider than the frame the window manager gave its window.
check_fit() {
  local problems kind id room name title extents width frame titles=
  # Titles are measured against the frame X reports below: Qt's own idea
  # of a window's frame ("title of ...") can be stale on X11 (it caches
  # frame margins read while the window manager was still reparenting).
  problems=$(awk -F'\t' '$1 == "cut" && $3 !~ /^title of / { print "  cut text: " $3 }' "$REPORT")
  while IFS=$'\t' read -r kind id _ room _ _ _ _ name title; do
    [ "$kind" = window ] || continue
    extents=$(xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p' | tr -d ' ')
    # An undecorated window has no title bar, so no title to cut.
    [ -n "$extents" ] || continue
    width=$(xwininfo -id "$id" | awk '/^ *Width:/ { print $2 }')
    frame=$((width + $(cut -d, -f1 <<<"$extents") + $(cut -d, -f2 <<<"$extents")))
    titles+=" $name $frame/$room"
    if [ "$frame" -lt "$room" ]; then
      problems+=$'\n'"  title of $name (\"$title\"): the window manager's frame is $frame px"
      problems+=" wide, the title needs $room"
    fi
  done <"$REPORT"
  [ -z "$problems" ] || fail "text that does not fit ($1):$problems"
  echo "$1: texts fit; title bars (frame/needed px):$titles"
}

# The window runs no animation (its fades ended, says the report) and looks
# the same twice, a quarter second apart, but for a blinking text cursor.
settled() {
  ask || return 1
  if grep -q "^animating	$1	" "$REPORT"; then
    echo "animating" >"$WORK/settle.log"
    return 1
  fi
  import -window "$1" "$WORK/settle-a.png" && sleep 0.25 &&
    import -window "$1" "$WORK/settle-b.png" || return 1
  compare -metric AE "$WORK/settle-a.png" "$WORK/settle-b.png" null: >"$WORK/settle.log" 2>&1
  awk -v most=$((50 * SCALE * SCALE)) '{ exit !($1 + 0 <= most) }' "$WORK/settle.log"
}
# Pictures the screen once WINDOW (an object name) has settled, and checks
# what the report says of every shown window. "look --moving NAME PICTURE"
# does not wait for the window to settle (a running clock).
look() {
  local moving=0
  if [ "$1" = --moving ]; then
    moving=1
    shift
  fi
  await 20 "$1" shown "$1"
  local id
  id=$(window_id "$1")
  if [ "$moving" = 0 ]; then
    await 10 "$1 to settle" settled "$id"
  else
    sleep 0.3
  fi
  ask || fail "no window report"
  check_fit "$2"
  shot "$2"
}

# Presses keys in a window: keys WINDOW_ID KEY...
keys() {
  local id=$1
  shift
  xdotool windowactivate --sync "$id" key "$@"
}

# --- The desktop -------------------------------------------------------------
# A display of our own, with a window manager as a desktop has.
number=140
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
  number=$((number + 1))
done
Xvfb ":$number" -screen 0 "$((1280 * SCALE))x$((800 * SCALE))x24" -nolisten tcp -noreset \
  >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
export DISPLAY=":$number"
await 10 "the virtual display" xdotool getdisplaygeometry
# The window manager keeps its log and session in the XDG cache folder: the
# test's own, not the host user's.
XDG_CACHE_HOME="$WORK/openbox-cache" openbox >"$WORK/openbox.log" 2>&1 &
WM_PID=$!
await 10 "the window manager" wmctrl -m

# The README's run command, on the programs of this build.
scale_env=()
[ "$SCALE" = 1 ] || scale_env=(QT_SCALE_FACTOR="$SCALE")
started=$(date +%s.%N)
(cd "$SOURCE" && exec env "${scale_env[@]}" VARNEL_UI_REPORT_DIR="$REPORTS" \
  VARNEL_DEMO_PREBUILT=1 BUILD="$BUILD_DIR" VARNEL_DEMO_ROOT="$ROOT" \
  bash scripts/run.sh) >"$WORK/run.log" 2>&1 &
RUN_PID=$!

# 1. The login window.
await 60 "the login window" shown loginWindow
echo "run command to login window: $(awk -v a="$started" -v b="$(date +%s.%N)" \
  'BEGIN { printf "%.1f", b - a }') s"
LOGIN=$(window_id loginWindow)
look loginWindow "login-window"

# 2. A wrong password first: the log-in error, then the fields back.
xdotool windowactivate --sync "$LOGIN"
xdotool type --delay 30 "demo@varnelvpn.test"
xdotool key Return
xdotool type --delay 30 "not-the-password"
xdotool key Return
look loginErrorAlert "alert-login-failed"
keys "$(window_id loginErrorAlert)" Return
await 10 "the log-in error to close" gone loginErrorAlert
await 10 "the password field again" item_enabled "$LOGIN" passwordInput
click_item "$LOGIN" passwordInput
xdotool key ctrl+a
xdotool type --delay 30 "demo-password"
look loginWindow "credentials-typed"
keys "$LOGIN" Return
await 30 "the dialer after login" log_has "Changing status to: 1"
await 30 "the visible IP before connecting" log_has "Visible IP address: 127.0.0.1"
await 10 "the dialer" shown DialerWindow
DIALER=$(window_id DialerWindow)
look DialerWindow "dialer-disconnected"

# The dialer's Menu button opens its menu; its items are chosen by keyboard:
# Connect/Disconnect, Active Account, Preferences, About, Quit.
open_menu() {
  ask || fail "no window report"
  xdotool windowactivate --sync "$DIALER"
  click_item "$DIALER" menuButton
  sleep 0.3
}
menu_item() {
  open_menu
  local i
  for ((i = 0; i < $1; i++)); do xdotool key Down; done
  xdotool key Return
}
# Active Account > the Nth account (1: Basic #W1002, 2: Lite #W1003,
# 3: Premium #W1001, the demo's OpenVPN account).
choose_account() {
  open_menu
  xdotool key Down Down Right
  local i
  for ((i = 1; i < $1; i++)); do xdotool key Down; done
  [ -z "${2:-}" ] || shot "$2"
  xdotool key Return
  sleep 0.3
}

# 3. The run command chose the demo's OpenVPN account; the menu shows it.
choose_account 3 "choose-openvpn-account"
ask || fail "no window report"
[ "$(item_field "$DIALER" selectedAccountLabel 9)" = "Premium #W1001" ] ||
  fail "the account is not Premium #W1001"

# 4. Change location: the server tests give figures. The demo's test hosts
#    ("<server>.speedtest.varnelvpn.net") are its own loopback, which
#    answers ping and serves the download.
click_item "$DIALER" changeLocationButton
await 10 "Change location" shown ServerSwitcher
SWITCHER=$(window_id ServerSwitcher)
await 10 "the server list" item_enabled "$SWITCHER" serverTable
look ServerSwitcher "server-switcher"
rows=$(awk -F'\t' -v w="$SWITCHER" '$1 == "cell" && $2 == w && $5 == 0' "$REPORT" | wc -l)
[ "$rows" -ge 2 ] || fail "the switcher lists $rows servers"
for ((row = 0; row < rows; row++)); do
  ask || fail "no window report"
  click_cell "$SWITCHER" serverTable "$row" 0
  click_item "$SWITCHER" testButton
done
# Speed column 3, ping column 4: "Testing" and "Pinging" while they run.
tests_ended() {
  ask || return 1
  local row
  for ((row = 0; row < rows; row++)); do
    case "$(cell_text "$SWITCHER" serverTable "$row" 3)|$(cell_text "$SWITCHER" serverTable "$row" 4)" in
      *Testing* | *Pinging* | N/A\|* | *\|N/A) return 1 ;;
    esac
  done
}
await 60 "the server tests" tests_ended
for ((row = 0; row < rows; row++)); do
  name=$(cell_text "$SWITCHER" serverTable "$row" 2)
  speed=$(cell_text "$SWITCHER" serverTable "$row" 3)
  ping=$(cell_text "$SWITCHER" serverTable "$row" 4)
  echo "server test $name: ping $ping, speed $speed"
  case "$speed" in *KB/s) ;; *) fail "no speed figure for $name: $speed" ;; esac
  case "$ping" in *ms) ;; *) fail "no ping figure for $name: $ping" ;; esac
done
look ServerSwitcher "server-switcher-tested"
wmctrl -i -c "$SWITCHER"
await 10 "Change location to close" gone ServerSwitcher

# 5. Preferences, each pane; on Advanced: OpenVPN, "OpenVPN UDP".
menu_item 3
look PanedPreferencesWindow "preferences-general"
PREFS=$(window_id PanedPreferencesWindow)
pane_shown() { ask && [ -n "$(item_field "$PREFS" "$1" 4)" ]; }
click_item "$PREFS" AccountPreferences
await 10 "the Accounts pane" pane_shown accountTableView
look PanedPreferencesWindow "preferences-accounts"
click_item "$PREFS" OpenPreferences
await 10 "the OpenVPN pane" pane_shown tableView
look PanedPreferencesWindow "preferences-openvpn"
click_item "$PREFS" AdvancedPreferences
await 10 "the Advanced pane" pane_shown openvpnRadio
look PanedPreferencesWindow "preferences-advanced"
click_item "$PREFS" openvpnRadio
await 10 "the OpenVPN types" item_enabled "$PREFS" openVPNProtocolPopUpButton
click_item "$PREFS" openVPNProtocolPopUpButton
sleep 0.3
xdotool key Home Return
await 10 "OpenVPN UDP" item_text_is "$PREFS" openVPNProtocolPopUpButton "OpenVPN UDP"
look PanedPreferencesWindow "preferences-openvpn-udp-chosen"
wmctrl -i -c "$PREFS"
await 10 "Preferences to close" gone PanedPreferencesWindow

# 6. Connect: Connected, the clock running, the tunnel's address.
mark=$(log_mark)
connect_at=$(date +%s.%N)
menu_item 1
await 60 "Connected" log_has_after "$mark" "Changing status to: 5"
connected_at=$(date +%s.%N)
echo "Connect to Connected: $(awk -v a="$connect_at" -v b="$connected_at" \
  'BEGIN { printf "%.1f", b - a }') s"
await 30 "the tunnel's visible IP" log_has_after "$mark" "Visible IP address: 10.8.0."
tail -n +"$((mark + 1))" "$LOG" | grep "Changing status to: 8" >/dev/null &&
  fail "the connect needed a retry"
sleep 1
import -window "$DIALER" "$WORK/clock-a.png"
await 5 "the clock to tick" bash -c "import -window $DIALER '$WORK/clock-b.png' &&
  [ \"\$(compare -metric AE '$WORK/clock-a.png' '$WORK/clock-b.png' null: 2>&1)\" != 0 ]"
ip=$(tail -n +"$((mark + 1))" "$LOG" | grep -o "Visible IP address: 10\.8\.0\.[0-9]*" | tail -1)
echo "$ip"
look --moving DialerWindow "dialer-connected"

# 7. Another account while connected: the alert says the connection keeps
#    its account; then the OpenVPN account again (the same alert).
choose_account 2
look --moving accountSwitchAlert "alert-account-switch-while-connected"
keys "$(window_id accountSwitchAlert)" Return
await 10 "the alert to close" gone accountSwitchAlert
choose_account 3
await 10 "the alert" shown accountSwitchAlert
keys "$(window_id accountSwitchAlert)" Return
await 10 "the alert to close" gone accountSwitchAlert

# 8. Disconnect.
mark=$(log_mark)
menu_item 1
await 30 "Disconnected" log_has_after "$mark" "Changing status to: 1"
await 30 "the machine's own IP again" log_has_after "$mark" "Visible IP address: 127.0.0.1"
look DialerWindow "dialer-disconnected-again"

# 9. Diagnostics, About and the licence open and close.
click_item "$DIALER" diagnosticsButton
look LogView "diagnostics"
wmctrl -i -c "$(window_id LogView)"
await 10 "Diagnostics to close" gone LogView

menu_item 4
look aboutWindow "about"
# A dialog of the dialer (no task-bar entry of its own), closed by Escape.
about=$(window_id aboutWindow)
xprop -id "$about" _NET_WM_WINDOW_TYPE | grep -q _NET_WM_WINDOW_TYPE_DIALOG ||
  fail "About is not a dialog: $(xprop -id "$about" _NET_WM_WINDOW_TYPE)"
xprop -id "$about" WM_TRANSIENT_FOR | grep -q "window id" ||
  fail "About belongs to no window"
xdotool windowactivate --sync "$about" key Escape
await 10 "About to close on Escape" gone aboutWindow

# The licence: the window's own menu bar, "VarnelVPN Client" > "License
# agreement" (the second item).
ask || fail "no window report"
xdotool windowactivate --sync "$DIALER"
click_item "$DIALER" mainMenu
sleep 0.3
xdotool key Down Down Return
look EULAWindowController "licence"
wmctrl -i -c "$(window_id EULAWindowController)"
await 10 "the licence to close" gone EULAWindowController

# 10. A switch that fails: with the account service stopped, Change
#     location > Switch shows the switch-failed alert.
service=$(ps -eo pid=,args= | awk -v s="$BUILD_DIR/tools/account-service/varnel-account-service" \
  -v r="$ROOT/" '$2 == s && index($0, r) { print $1; exit }')
[ -n "$service" ] || fail "no account service of this run"
kill -TERM "$service"
# Gone, or a zombie its parent has not reaped yet: it answers no more.
service_stopped() {
  local state
  state=$(ps -o stat= -p "$service")
  [ -z "$state" ] || [ "${state:0:1}" = Z ]
}
await 10 "the account service to stop" service_stopped
click_item "$DIALER" changeLocationButton
await 10 "Change location" shown ServerSwitcher
SWITCHER=$(window_id ServerSwitcher)
await 10 "the server list" item_enabled "$SWITCHER" switchButton
# A server other than the one in use ("..., now using nl1.").
current=$(item_field "$SWITCHER" accountStringLabel 9 | sed -n 's/.*now using \(.*\)\.$/\1/p')
other=$(awk -F'\t' -v w="$SWITCHER" -v c="$current" \
  '$1 == "cell" && $2 == w && $5 == 2 && $10 != c { print $4; exit }' "$REPORT")
[ -n "$other" ] || fail "no server other than $current"
click_cell "$SWITCHER" serverTable "$other" 0
click_item "$SWITCHER" switchButton
look switchFailedAlert "alert-switch-failed"
keys "$(window_id switchFailedAlert)" Return
await 10 "the alert to close" gone switchFailedAlert
wmctrl -i -c "$SWITCHER"
await 10 "Change location to close" gone ServerSwitcher

# 11. Connect again and quit while connected: the connection goes down
#     first, then the run command ends with everything it started.
mark=$(log_mark)
menu_item 1
await 60 "Connected" log_has_after "$mark" "Changing status to: 5"
look --moving DialerWindow "dialer-connected-again"
# OpenVPN ended by the helper (on a disconnect), as the helper's log says.
helper_disconnects() { cat "$ROOT/run/varnel-helper/"*.log | grep -c "Read: >STATE:[0-9]*,EXITING,SIGINT"; }
disconnects=$(helper_disconnects)
mark=$(log_mark)
menu_item 5
await 15 "Disconnecting on Quit" log_has_after "$mark" "Changing status to: 4"
shot "quit-while-connected"
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
# The helper ended OpenVPN on the client's word before the client went
# (the namespace's end would have stopped it with SIGTERM): its log tells.
[ "$(helper_disconnects)" -eq $((disconnects + 1)) ] ||
  fail "Quit did not take the connection down through the helper"
shot "after-quit"

# Nothing left: no process of the run, no tunnel, the system's files as they were.
left=$(ps -eo pid=,args= | grep -F -e "$ROOT" -e "$BUILD_DIR/src/apps" -e "$BUILD_DIR/tools" |
  grep -v grep)
[ -z "$left" ] || fail "processes left behind: $left"
[ "$(md5sum /etc/resolv.conf)" = "$resolv_before" ] || fail "/etc/resolv.conf changed"
[ "$(ip -o link show | awk -F': ' '{print $2}' | sort)" = "$links_before" ] ||
  fail "network devices changed"
[ ! -S "$ROOT/run/user/bus" ] || ! ps -eo args= | grep -F "unix:path=$ROOT/run/user/bus" >/dev/null ||
  fail "the session bus is still running"
# The run's credentials go; its logs stay beside the screenshots.
rm -rf "$ROOT" "$WORK"/*.png
echo "PASSED"
