#!/usr/bin/env bash
# Builds the normal and the sanitizer configuration and runs every test in
# both, then runs the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2
}

echo "== normal build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRYN_BUILD_TESTS=ON
echo "== clang-tidy =="
scripts/lint.sh build
echo "== sanitizer build (ASan + UBSan) =="
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DRYN_SANITIZE=ON -DRYN_BUILD_TESTS=ON
echo "== fuzzers (clang, libFuzzer) =="
scripts/fuzz.sh
