#!/bin/bash
# The local SDK service's listing of stored reports: one report whose record
# holds text that is not hex, or no record at all, is marked and the others
# are still listed (the listing used to end at the first such report).
# And the running service refuses an events upload whose gzip unpacks to
# far more than any log (1 MB to 1 GiB here), without unpacking it, and goes
# on serving (a 4 MB one that unpacks to 4 GiB used to abort it).
set -euo pipefail
SERVICE="$1"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/sdk-show-XXXXXX")"
SERVICE_PID=
cleanup() {
  if [ -n "$SERVICE_PID" ]; then
    kill -TERM "$SERVICE_PID" 2>/dev/null || true
    wait "$SERVICE_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
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

# --- a gzip bomb --------------------------------------------------------------
"$SERVICE" --data "$WORK/service" --url-file "$WORK/url" >"$WORK/service.log" 2>&1 &
SERVICE_PID=$!
for _ in $(seq 300); do [ -s "$WORK/url" ] && break; sleep 0.1; done
[ -s "$WORK/url" ] || { cat "$WORK/service.log"; fail "the service did not start"; }
URL=$(cat "$WORK/url")
# 1 MB of gzip that unpacks to 1 GiB of zeros.
python3 -c '
import sys, zlib
packer = zlib.compressobj(9, zlib.DEFLATED, 31)
zeros = bytes(1 << 24)
sys.stdout.buffer.write(b"".join(packer.compress(zeros) for _ in range(64)) + packer.flush())
' >"$WORK/bomb.gz"
{
  printf -- '--B0\r\nContent-Disposition: form-data; name="e.gz"; filename="e.gz"\r\n'
  printf 'Content-Type: application/vnd.crashtrail.mac.events\r\n\r\n'
  cat "$WORK/bomb.gz"
  printf -- '\r\n--B0--\r\n'
} >"$WORK/body"
post() {
  curl -sS --max-time 60 --cacert "$WORK/service/ca.pem" -o /dev/null -w '%{http_code}' \
    -H 'Content-Type: multipart/form-data; boundary=B0' \
    -H 'User-Agent: Tally Mac SDK/1.3.4' \
    -H 'X-CRASHTRAIL-API-KEY: 0123456789abcdef0123456789abcdef01234567' \
    -H 'X-CRASHTRAIL-DEVELOPER-TOKEN: 3c9e1f0a7b2d48e6c5a1f09b3d7e2c4a6b8f0d19' \
    -H 'X-Crashtrail-Api-Client-Packaged-Timestamp: 1' \
    --data-binary @"$1" "$URL/spi/v2/events"
}
status=$(post "$WORK/body") || true
echo "bomb: HTTP $status"
if [ "$status" -lt 400 ] || [ "$status" -ge 500 ]; then fail "the bomb was not refused (HTTP $status)"; fi
kill -0 "$SERVICE_PID" 2>/dev/null || { cat "$WORK/service.log"; fail "the service ended"; }
grep -q "unpacks to more than" "$WORK/service/rejected.log" || fail "no rejection logged"
# It still serves: a second request is answered.
status=$(post "$WORK/body") || true
if [ "$status" -lt 400 ] || [ "$status" -ge 500 ]; then fail "no answer after the bomb (HTTP $status)"; fi
echo PASS
