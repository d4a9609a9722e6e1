#!/bin/bash
# The local SDK service's listing of stored reports: one report whose record
# holds text that is not hex, or no record at all, is marked and the others
# are still listed (the listing used to end at the first such report).
set -euo pipefail
SERVICE="$1"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/sdk-show-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/crashes/a-good" "$WORK/crashes/b-bad" "$WORK/crashes/c-empty" "$WORK/events"
# "boom" and "bad" in hex.
printf '{"exception":{"type":"cpp","name":"626f6f6d","reason":"626164"}}\n' \
  >"$WORK/crashes/a-good/exception.clsrecord"
printf '{"exception":{"type":"cpp","name":"not hex!","reason":"6"}}\n' \
  >"$WORK/crashes/b-bad/exception.clsrecord"
OUT="$("$SERVICE" --show "$WORK")" || { echo "FAIL: --show ended with $?"; exit 1; }
echo "$OUT"
fail() { echo "FAIL: $*"; exit 1; }
grep -q '^3 crash report(s)' <<<"$OUT" || fail "count"
grep -q '^crash a-good: exception cpp boom: bad$' <<<"$OUT" || fail "good report"
grep -q '^crash b-bad: .*\[unreadable fields\]' <<<"$OUT" || fail "bad report not marked"
grep -q '^crash c-empty: unreadable' <<<"$OUT" || fail "empty report not marked"
echo PASS
