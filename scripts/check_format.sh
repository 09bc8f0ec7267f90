#!/usr/bin/env bash
# Fails, naming the files, when a C++ file of the tree differs from what
# clang-format makes of it with the root's .clang-format.
#   scripts/check_format.sh          check
#   scripts/check_format.sh --fix    reformat in place
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
unformatted=()
for file in "${files[@]}"; do
  if ! clang-format "$file" | cmp -s - "$file"; then unformatted+=("$file"); fi
done
if ((${#unformatted[@]})); then
  echo "not formatted (scripts/check_format.sh --fix formats them):"
  printf '  %s\n' "${unformatted[@]}"
  exit 1
fi
echo "format: ${#files[@]} files formatted"
