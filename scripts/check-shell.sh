#!/usr/bin/env bash
# Runs shellcheck over every shell script of the tree (*.sh and files whose
# first line names sh, bash or dash) and fails on any warning or error;
# the notes of shellcheck on style are advice and are not counted.
# Usage: check-shell.sh [source root]   (default: the parent of scripts/)
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

if ! command -v shellcheck >/dev/null; then
  echo "check-shell: shellcheck is missing (scripts/install-deps.sh installs it)"
  exit 1
fi

list_files() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files --cached --others --exclude-standard
  else
    find . -path ./build -prune -o -path ./.git -prune -o -type f -print | sed 's|^\./||'
  fi
}

scripts=()
while IFS= read -r f; do
  [ -f "$f" ] || continue
  case "$f" in
    build/* | build-*/*) continue ;;
    *.sh) scripts+=("$f") ;;
    *) if head -n 1 "$f" 2>/dev/null | grep -qE '^#!.*(/|env )(ba|da)?sh([[:space:]]|$)'; then
         scripts+=("$f")
       fi ;;
  esac
done < <(list_files)

if [ ${#scripts[@]} -eq 0 ]; then
  echo "check-shell: no shell scripts found"
  exit 1
fi
if shellcheck --severity=warning --external-sources "${scripts[@]}"; then
  echo "check-shell: ${#scripts[@]} scripts clean"
else
  echo "check-shell: shellcheck found warnings (above)"
  exit 1
fi
