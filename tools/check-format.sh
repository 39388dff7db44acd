#!/usr/bin/env bash
# Checks (or with --fix, applies) the project's clang-format style on its own sources.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(--dry-run --Werror)
[ "${1:-}" = "--fix" ] && mode=(-i)
git ls-files '*.cpp' '*.h' | xargs -r clang-format "${mode[@]}"
