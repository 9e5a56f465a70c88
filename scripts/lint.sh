#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy, warnings as errors) over the
# driver, the message table, the path functions and the launcher, using the
# compile commands of a configured build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
if [ ! -f "$build_dir/compile_commands.json" ]; then
  echo "lint: no $build_dir/compile_commands.json; configure the build first" >&2
  exit 1
fi
tidy=$(command -v run-clang-tidy-14 || command -v run-clang-tidy)
# Headers are checked through the sources that include them.
"$tidy" -p "$build_dir" -j2 -quiet "$PWD/src/(driver|i18n|pathutil|launcher)/.*\\.cpp$" \
  > "$build_dir/lint.log" 2>&1 || { sed 's/\x1b\[[0-9;]*m//g' "$build_dir/lint.log" | grep -A3 -E "(warning|error):" >&2; exit 1; }
echo "lint: clean"
