#!/usr/bin/env bash
# The desktop entry and the icon theme files a desktop needs to show the
# client: the entry is valid, names an icon the build rendered, and every
# rendered PNG has the size its folder says, drawn (not blank).
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${VARNEL_E2E_BUILD:?}
entry=$src/packaging/desktop/varnelvpn-client.desktop
icons=$build/packaging/icons/hicolor
fail=0

desktop-file-validate "$entry" || fail=1
icon=$(sed -n 's/^Icon=//p' "$entry")
[ "$icon" = varnelvpn-client ] || { echo "Icon= names '$icon'"; fail=1; }
python3 -c 'import sys, xml.etree.ElementTree as t; t.parse(sys.argv[1])' \
  "$icons/scalable/apps/$icon.svg" || fail=1

count=0
for png in "$icons"/*x*/apps/"$icon".png; do
  want=$(basename "$(dirname "$(dirname "$png")")")
  got=$(identify -format '%wx%h' "$png")
  [ "$got" = "$want" ] || { echo "$png is $got, not $want"; fail=1; }
  # The tile's centre is opaque; its corner is transparent.
  centre=$(convert "$png" -alpha extract -gravity center -crop 1x1+0+0 -format '%[fx:u]' info:)
  corner=$(convert "$png" -alpha extract -crop 1x1+0+0 -format '%[fx:u]' info:)
  [ "$centre" = 1 ] && [ "$corner" = 0 ] || { echo "$png: centre $centre, corner $corner"; fail=1; }
  count=$((count + 1))
done
[ "$count" -ge 8 ] || { echo "only $count icon sizes rendered"; fail=1; }
[ "$fail" = 0 ] && echo "packaging: entry valid, $count icon sizes"
exit "$fail"
