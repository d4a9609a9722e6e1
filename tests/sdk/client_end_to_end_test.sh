#!/usr/bin/env bash
# The shipped client against the local SDK service, end to end:
#  1. the real client (its installed copy, configured by the service the way
#     the demo run configures it) reports its launch and session events;
#  1b. the crash-test client quits through its Quit command and has posted
#     the termination notification once;
#  2. the crash-test client (the same program with test-only crash triggers)
#     crashes by SIGSEGV, by a stack overflow on its main thread, by an
#     uncaught C++ exception on a dispatch worker, by a stack overflow on a
#     thread Qt started itself, by abort, by a call through a null pointer,
#     by a fault at a function's first instruction, by a stack overflow on a
#     plain std::thread, by two threads faulting at once and by an uncaught
#     exception while another thread faults; each crash reaches the service
#     at the next start as one report, with the crashing function among the
#     top frames of the crashed thread.
# Usage: client_end_to_end_test.sh CLIENT CRASH_TEST_CLIENT SDK_SERVICE PLIST
set -euo pipefail
CLIENT=$1 CRASH_CLIENT=$2 SERVICE=$3 PLIST=$4

WORK=$(mktemp -d "${TMPDIR:-/tmp}/varnel-sdk-e2e.XXXXXX")
PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

export VARNEL_ROOT="$WORK/root" HOME="$WORK/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
export XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
export XDG_RUNTIME_DIR="$WORK/run" QT_QPA_PLATFORM=offscreen
# The crash-test client dies on purpose, and a download it had under way
# stays in its temporary folder: that folder goes with the test's.
export TMPDIR="$WORK/tmp"
# The account service is not needed here: its requests fail on loopback.
export VARNEL_ACCOUNT_SERVICE_URLS=https://127.0.0.1:9
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$WORK/app" "$WORK/crash-app" "$TMPDIR"
mkdir -p "$XDG_RUNTIME_DIR"
chmod 0700 "$XDG_RUNTIME_DIR"
cp "$CLIENT" "$PLIST" "$WORK/app/"
cp "$CRASH_CLIENT" "$WORK/crash-app/"

"$SERVICE" --data "$WORK/data" --url-file "$WORK/url" --flush-interval 0.5 \
  --configure "$WORK/app/VarnelVPN Client.plist" >"$WORK/service.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 300); do [ -s "$WORK/url" ] && break; sleep 0.1; done
[ -s "$WORK/url" ] || { echo "service did not start"; cat "$WORK/service.log"; exit 1; }
cp "$WORK/app/VarnelVPN Client.plist" "$WORK/crash-app/"

show() { "$SERVICE" --show "$WORK/data" --frames; }
# Waits (60 s at most) until the service's listing matches `pattern`.
wait_for() {
  local pattern=$1
  for _ in $(seq 600); do
    if show | grep -Eq "$pattern"; then return 0; fi
    sleep 0.1
  done
  echo "timed out waiting for: $pattern"; show; cat "$WORK/service.log"; return 1
}

fail=0
# --- 1. launch and session events of the real client ---------------------
"$WORK/app/VarnelVPN Client" >"$WORK/client.log" 2>&1 &
CLIENT_PID=$!
PIDS+=("$CLIENT_PID")
wait_for "event app_launched: [1-9]" || fail=1
wait_for "event app_became_active: [1-9]" || fail=1
kill -TERM "$CLIENT_PID" 2>/dev/null || true
wait "$CLIENT_PID" 2>/dev/null || true
[ -f "$WORK/data/app.json" ] || { echo "the application was not onboarded"; fail=1; }
[ ! -s "$WORK/data/rejected.log" ] || { echo "rejected:"; cat "$WORK/data/rejected.log"; fail=1; }

# --- 1b. one quit announces the termination once ------------------------
# (Quit reaches the delegate twice: its own quit path and Qt's aboutToQuit.)
status=0
timeout 60 "$WORK/crash-app/VarnelVPN Client" --crash-for-testing=quit >"$WORK/quit.log" 2>&1 ||
  status=$?
if ! grep -aq "termination announced 1 time(s)" "$WORK/quit.log"; then
  echo "quit (status $status):"; tail -20 "$WORK/quit.log"; fail=1
fi

# --- 2. ten kinds of crash, each reported at the next start -------------
# In a build with the address sanitizer, four of them are not the
# program's own: the sanitizer reports the three stack overflows itself and
# exits, and the frames of a call through a null pointer are left to the
# sanitizer's own report there. All four run in the plain build.
# The whole listing is read first: under pipefail, `ldd | grep -q` fails
# whenever grep stops at the match while ldd is still writing (SIGPIPE).
asan=0
libraries=$(ldd "$CRASH_CLIENT")
case $libraries in *libasan*) asan=1 ;; esac
count=0
for kind in segv:varnelCrashTestSegfault main-stack-overflow:varnelCrashTestRecurse \
  worker-exception:varnelCrashTestThrow qt-thread-stack-overflow:varnelCrashTestRecurse \
  abort:varnelCrashTestAbort null-call:varnelCrashTestCallNull \
  entry-fault:varnelCrashTestFaultAtEntry std-thread-stack-overflow:varnelCrashTestRecurse \
  two-threads:varnelCrashTestSegfault 'exception-and-fault:varnelCrashTest(Throw|Segfault)'; do
  trigger=${kind%%:*} function=${kind#*:}
  if [ "$asan" = 1 ]; then
    case $trigger in
      *stack-overflow | null-call) echo "$trigger: left to the plain build"; continue ;;
    esac
  fi
  status=0
  timeout 60 "$WORK/crash-app/VarnelVPN Client" --crash-for-testing="$trigger" \
    >"$WORK/crash-$trigger.log" 2>&1 || status=$?
  # A signal's status, or 1 in a build with the address sanitizer, whose own
  # handler (put back after ours has recorded) reports the fault and exits.
  if [ "$status" -eq 0 ] || [ "$status" -eq 124 ]; then
    echo "$trigger: the client did not crash (status $status)"; fail=1; continue
  fi
  count=$((count + 1))
  "$WORK/crash-app/VarnelVPN Client" >"$WORK/report-$trigger.log" 2>&1 &
  pid=$!
  PIDS+=("$pid")
  wait_for "^$count crash report" || fail=1
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if ! show | grep -E "^  frame [0-9]+ .*$function" >/dev/null; then
    echo "$trigger: $function is not among the crashed thread's top frames"; fail=1
  fi
done

show
# Every report is whole: none is marked unreadable.
if show | grep -q unreadable; then echo "a report is unreadable"; fail=1; fi
[ ! -s "$WORK/data/rejected.log" ] || { echo "rejected:"; cat "$WORK/data/rejected.log"; fail=1; }
if [ "$fail" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$fail"
