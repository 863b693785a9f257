#!/usr/bin/env bash
# Checks that every C++ file of the project is formatted as .clang-format says (clang-format 14, from
# Debian). Usage: scripts/check-format.sh [--fix]   (--fix formats the files in place)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
format=$(command -v clang-format || command -v clang-format-14 || true)
if [ -z "$format" ]; then
  echo "check-format.sh: clang-format is missing (scripts/setup-debian.sh --test installs it)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
if ! "$format" --dry-run -Werror "${files[@]}" 2>/tmp/check-format.$$; then
  grep -E '^[^ ].*: error' /tmp/check-format.$$ | cut -d: -f1 | sort -u | sed 's/^/not formatted: /' >&2
  rm -f /tmp/check-format.$$
  echo "check-format.sh: run scripts/check-format.sh --fix" >&2
  exit 1
fi
rm -f /tmp/check-format.$$
echo "Formatting: ${#files[@]} files as .clang-format says"
