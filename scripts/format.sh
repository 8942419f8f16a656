#!/bin/sh
# SPDX-License-Identifier: ISC
# The C and C++ sources laid out as .clang-format says:
#
#   scripts/format.sh            rewrites every file that differs
#   scripts/format.sh --check    lists them and fails, changing nothing
#
# Uses Debian's clang-format (installed where missing). Formatting changes
# go in commits of their own, never inside a feature's.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" clang-format >&2
cd "$top"

files=$(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    bad=""
    for f in $files; do
        clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad="$bad $f"
    done
    if [ -n "$bad" ]; then
        echo "format: not as .clang-format says (scripts/format.sh rewrites them):$bad" >&2
        exit 1
    fi
    echo "format: every source as .clang-format says"
else
    # shellcheck disable=SC2086
    clang-format -i $files
fi
