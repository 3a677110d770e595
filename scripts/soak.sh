#!/usr/bin/env bash
# soak.sh [--seconds S] [--events N] [--plain]
# The load and soak check against the built agent (build/release): sixty
# connections at once, idle and hostile ones among them, while one page
# sends N events (default 10000) for S seconds (default 90; from 75 on, the
# check also sees the agent cut every connection that never finished its
# request head). TLS unless --plain. See tests/e2e/soak.js for what is
# checked. The test command runs a shorter one.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
(cd tests/peers && npm ci --no-audit --no-fund --loglevel=error)
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target zimracert
seconds=90
for arg in "$@"; do
  [ "$arg" = --seconds ] && seconds=
done
if [ -n "$seconds" ]; then
  set -- --seconds "$seconds" "$@"
fi
# The agent's log lines (one per handshake of the crowd) are shown only when
# the check fails.
node tests/e2e/soak.js build/release/zimracert "$@"
