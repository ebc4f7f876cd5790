#!/usr/bin/env bash
# Formats every C++ source of the tree with clang-format (.clang-format at the root; the navigation
# folder indents by two spaces through its own file). `scripts/format.sh --check` changes nothing and
# exits non-zero when a file is not formatted.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

mode=(-i)
if [ "${1:-}" = "--help" ]; then
  echo "usage: scripts/format.sh [--check]"
  exit 0
elif [ "${1:-}" = "--check" ]; then
  mode=(--dry-run --Werror)
elif [ $# -gt 0 ]; then
  echo "usage: scripts/format.sh [--check]" >&2
  exit 2
fi
if ! command -v clang-format >/dev/null; then
  echo "format.sh: clang-format is not installed (Debian package clang-format)" >&2
  exit 1
fi
git ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --style=file "${mode[@]}"
