#!/usr/bin/env bash
# fuzz.sh TARGET SECONDS [libFuzzer options...]
# Builds the fuzz targets (clang, in build/fuzz) and runs one of them for as
# long as asked, from its committed seeds. The inputs it finds stay in
# build/fuzz/work/TARGET/corpus, so the next run goes on from there; crash
# inputs land beside it. Example: scripts/fuzz.sh fuzz_http 7200 -fork=6 -runs=10000000
# (six processes at once, ending after ten million executions in all)
# Targets: the fuzz_*.cpp files of tests/fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  ls tests/fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//; s/^/  /' >&2
  exit 2
fi
target=$1 seconds=$2
shift 2

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZC_FUZZ=ON -DZC_TESTS=OFF -DZC_BENCHMARKS=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "$target"
bash tests/fuzz/run_target.sh "build/fuzz/tests/fuzz/$target" "$seconds" "build/fuzz/work/$target" "$@"
