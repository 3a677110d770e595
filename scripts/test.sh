#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice:
# once in a plain optimised build and once under AddressSanitizer and
# UndefinedBehaviorSanitizer. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# The real clients the end-to-end tests drive the agent with, at the versions
# pinned in tests/peers/package-lock.json.
(cd tests/peers && npm ci --no-audit --no-fund --loglevel=error)

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

echo "== build and test: release =="
run_suite build/release -DCMAKE_BUILD_TYPE=Release

echo "== build and test: address + undefined-behaviour sanitizers =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DZC_SANITIZE=ON -DZC_BENCHMARKS=OFF
