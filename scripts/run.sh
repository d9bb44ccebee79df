#!/usr/bin/env bash
# Installs what is missing, builds Orbiscope, installs it into ./dist and starts it
# headless with dist/ as its home. On the first run the program makes
# dist/orbiscope.CONFIG.XML from the starter settings: the web server listens on 127.0.0.1
# port 8080 (reachable from this machine only, and no root needed), with the camera user
# "admin" and the password "orbiscope", which everyone knows. Change them in that file
# (a comment explains each key) and send the program SIGHUP, or restart it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target orbiscope Resource orbiscope_webserver_config
cmake --install build --prefix dist >/dev/null

echo "Open http://127.0.0.1:8080/ once the program says it serves; Ctrl+C stops it."
exec ./dist/orbiscope --headless --home dist "$@"
