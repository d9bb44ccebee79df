#!/usr/bin/env bash
# Installs what is missing, builds Orbiscope, installs it into ./dist and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target orbiscope Resource
cmake --install build --prefix dist >/dev/null
exec ./dist/orbiscope --headless "$@"
