#!/usr/bin/env bash
# Fails, naming the files, when a C++ file of the repository is not formatted as .clang-format says.
# `scripts/check-format.sh --fix` formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.h' '*.cpp')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
unformatted=()
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" 2>/dev/null || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'not formatted: %s\n' "${unformatted[@]}" >&2
  echo "run scripts/check-format.sh --fix" >&2
  exit 1
fi
