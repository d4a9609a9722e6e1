#!/usr/bin/env bash
# Checks that every C++ source of src/, tests/, tools/ and bench/ is formatted
# as .clang-format at the root says; changes nothing. Lists the files that
# differ and exits 1 when there are any.
#   scripts/check-format.sh [-v]   -v: also print clang-format's diagnostics
set -euo pipefail
cd "$(dirname "$0")/.."

CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
if ! command -v "$CLANG_FORMAT" >/dev/null; then
  echo "check-format: $CLANG_FORMAT not found (scripts/install-deps.sh installs it)" >&2
  exit 2
fi
verbose=0
if [ "${1:-}" = "-v" ]; then verbose=1; fi

mapfile -d '' files < <(find src tests tools bench -type f \
  \( -name '*.cpp' -o -name '*.cc' -o -name '*.c' -o -name '*.h' -o -name '*.hpp' \) -print0 | sort -z)

failed=()
for f in "${files[@]}"; do
  if ! out=$("$CLANG_FORMAT" --style=file --dry-run --Werror "$f" 2>&1); then
    failed+=("$f")
    if [ "$verbose" = 1 ]; then printf '%s\n' "$out"; fi
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  printf 'not formatted: %s\n' "${failed[@]}"
  echo "check-format: ${#failed[@]} of ${#files[@]} files differ from .clang-format" \
       "(fix with: clang-format -i <file>)"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
