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

# One clang-format per file, in parallel; each prints the name of a file that differs.
mapfile -t failed < <(printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P "$(nproc)" sh -c '
  if ! out=$("$0" --style=file --dry-run --Werror "$2" 2>&1); then
    if [ "$1" = 1 ]; then printf "%s\n" "$out" >&2; fi
    printf "%s\n" "$2"
  fi' "$CLANG_FORMAT" "$verbose" | sort)

if [ ${#failed[@]} -ne 0 ]; then
  printf 'not formatted: %s\n' "${failed[@]}"
  echo "check-format: ${#failed[@]} of ${#files[@]} files differ from .clang-format" \
       "(fix with: clang-format -i <file>)"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
