#!/usr/bin/env bash
# Installs what is missing, builds the agent, makes its TLS certificate file
# when there is none, and starts it with the URL given, else with
# zimracert://start/?port=8765 (plain transport on port 8765).
#
#   bash scripts/run-agent.sh [URL]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target zimracert
if [ ! -f build/release/cert/local.pem ]; then
  bash scripts/make-local-cert.sh build/release
fi
exec build/release/zimracert "${1:-zimracert://start/?port=8765}"
