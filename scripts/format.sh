#!/usr/bin/env bash
# Applies the tree's one style (.clang-format) to every C++ file of the
# project; with --check, changes nothing and fails when a file strays from it.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -d '' files < <(find src tests tools bench \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
if [ "${1:-}" = "--check" ]; then
  exec clang-format --dry-run --Werror "${files[@]}"
fi
exec clang-format -i "${files[@]}"
