#!/usr/bin/env bash
# The demo's display and private system bus, started as scripts/run.sh starts
# them, against a second local user (the system account "daemon", which
# every Debian machine has, so that the host's user database is never
# touched): that user can neither open the display nor own
# NetworkManager's or polkit's names on the bus, while the client's user
# (here "nobody") and root can. Needs root, setpriv, Xvfb, xauth,
# xdpyinfo, dbus-daemon and gdbus; exits 77 (skipped) without them.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

if [ "$(id -u)" != 0 ]; then echo "SKIP: needs root"; exit 77; fi
for tool in getent setpriv Xvfb xauth xdpyinfo mcookie dbus-daemon gdbus; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done
# shellcheck source=scripts/demo-desktop.sh
source scripts/demo-desktop.sh

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vdemo-XXXXXX")
XVFB=
BUS=
cleanup() {
  [ -n "$XVFB" ] && kill "$XVFB" 2>/dev/null && wait "$XVFB" 2>/dev/null
  [ -n "$BUS" ] && kill "$BUS" 2>/dev/null && wait "$BUS" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

failures=0
check() {  # check <description> <expected: ok|fails> <command...>
  local what=$1 expect=$2
  shift 2
  if "$@" >"$WORK/out" 2>&1; then got=ok; else got=fails; fi
  if [ "$got" = "$expect" ]; then
    echo "ok: $what"
  else
    echo "FAIL: $what (expected it to be $expect, it $got)"
    sed 's/^/  | /' "$WORK/out"
    failures=$((failures + 1))
  fi
}

OTHER_UID=$(getent passwd daemon | cut -d: -f3)
OTHER_GID=$(getent passwd daemon | cut -d: -f4)
[ -n "$OTHER_UID" ] || { echo "SKIP: no account \"daemon\""; exit 77; }
as_other() { setpriv --reuid="$OTHER_UID" --regid="$OTHER_GID" --clear-groups "$@"; }
as_client() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

# --- the display --------------------------------------------------------------
# The cookie lives in a folder of the client's user, as in the demo
# (its XDG_RUNTIME_DIR).
mkdir -m 0700 "$WORK/user"
chown 65534:65534 "$WORK/user"
COOKIE="$WORK/user/Xauthority"
chmod 0755 "$WORK"
if ! demo_start_xvfb "$COOKIE" 65534 65534 "$WORK/xvfb.log"; then
  XVFB=$DEMO_XVFB_PID
  echo "FAIL: Xvfb did not start"
  cat "$WORK/xvfb.log"
  exit 1
fi
XVFB=$DEMO_XVFB_PID
D=$DEMO_DISPLAY

check "the client's user opens the display with the cookie" ok \
  as_client env -i DISPLAY="$D" XAUTHORITY="$COOKIE" xdpyinfo
check "root's tools open it with the cookie" ok \
  env -i DISPLAY="$D" XAUTHORITY="$COOKIE" xdpyinfo
check "without the cookie even root is refused" fails \
  env -i DISPLAY="$D" XAUTHORITY=/nonexistent xdpyinfo
check "the second user cannot open the display" fails \
  as_other env -i DISPLAY="$D" xdpyinfo
check "the second user cannot use the client's cookie" fails \
  as_other env -i DISPLAY="$D" XAUTHORITY="$COOKIE" xdpyinfo
check "the cookie is the client's user's alone" ok \
  test "$(stat -c '%u %a' "$COOKIE")" = "65534 600"
check "the display's log is root's alone" ok \
  test "$(stat -c '%u %a' "$WORK/xvfb.log")" = "0 600"

# --- the services' logs -------------------------------------------------------
# Made private from the first byte on, an old readable one included, in a
# folder other users may enter (as the demo's root is).
printf 'old request\n' >"$WORK/service.log"
chmod 0644 "$WORK/service.log"
check "a service's log is made root's alone" ok demo_private_log "$WORK/service.log" "$WORK/new.log"
check "an old log is emptied and root's alone" ok \
  test "$(stat -c '%a %s' "$WORK/service.log")" = "600 0"
check "a new log is root's alone" ok test "$(stat -c '%a' "$WORK/new.log")" = 600
check "the second user cannot read a service's log" fails as_other cat "$WORK/service.log"

# --- the private system bus ---------------------------------------------------
mkdir -m 0755 "$WORK/bus"
demo_bus_config "unix:path=$WORK/bus/socket" >"$WORK/bus.conf"
dbus-daemon --config-file="$WORK/bus.conf" --nofork --print-address=3 \
  3>"$WORK/bus.address" 2>"$WORK/bus.log" &
BUS=$!
for _ in $(seq 100); do [ -S "$WORK/bus/socket" ] && break; sleep 0.1; done
ADDRESS="unix:path=$WORK/bus/socket"

own() {  # own <name>: asks the bus for the name; succeeds when granted (reply 1)
  gdbus call --address "$ADDRESS" --dest org.freedesktop.DBus \
    --object-path /org/freedesktop/DBus --method org.freedesktop.DBus.RequestName "$1" 4 |
    grep -qx '(uint32 1,)'
}
export -f own
export ADDRESS

check "the second user may talk on the bus" ok \
  as_other env -i ADDRESS="$ADDRESS" PATH="$PATH" gdbus call --address "$ADDRESS" \
  --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
  --method org.freedesktop.DBus.ListNames
for name in org.freedesktop.NetworkManager org.freedesktop.PolicyKit1; do
  check "the second user cannot own $name" fails \
    as_other env ADDRESS="$ADDRESS" bash -c "own $name"
  check "the client's user cannot own $name" fails \
    as_client env ADDRESS="$ADDRESS" bash -c "own $name"
  check "root can own $name" ok bash -c "own $name"
done
check "the second user cannot own any other name either" fails \
  as_other env ADDRESS="$ADDRESS" bash -c "own org.example.Anything"
check "the second user cannot become a monitor" fails \
  as_other gdbus call --address "$ADDRESS" --dest org.freedesktop.DBus \
  --object-path /org/freedesktop/DBus --method org.freedesktop.DBus.Monitoring.BecomeMonitor \
  '[]' 0
check "the configuration allows no eavesdropping" fails \
  grep -q '<allow[^>]*eavesdrop="true"' "$WORK/bus.conf"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
