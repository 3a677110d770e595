#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice:
# once in a plain optimised build and once under AddressSanitizer and
# UndefinedBehaviorSanitizer; then the tests that start threads under
# ThreadSanitizer, and every fuzz target for ZC_FUZZ_SECONDS (30) seconds.
# Exits non-zero when anything fails.
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

# The tests that start threads or processes carry the CTest label "threads"
# (tests/CMakeLists.txt, tests/e2e/CMakeLists.txt).
echo "== build and test: thread sanitizer (the tests that start threads) =="
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZC_TSAN=ON -DZC_BENCHMARKS=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target test_platform test_base test_pki test_sockets test_agent zimracert
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp" \
ctest --test-dir build/tsan -j "$jobs" --output-on-failure --timeout 300 -L threads

echo "== fuzz: every target for ${ZC_FUZZ_SECONDS:-30}s (clang, address + undefined-behaviour sanitizers) =="
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZC_FUZZ=ON \
  -DZC_TESTS=OFF -DZC_BENCHMARKS=OFF -DZC_FUZZ_SECONDS="${ZC_FUZZ_SECONDS:-30}" >/dev/null
cmake --build build/fuzz -j "$jobs"
# Each run starts from the committed seeds alone.
rm -rf build/fuzz/ci
ctest --test-dir build/fuzz -j "$jobs" --output-on-failure
cat build/fuzz/ci/*/summary
