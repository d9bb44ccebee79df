#!/usr/bin/env bash
# Installs what is missing, builds Orbiscope, installs it into ./dist and starts it
# headless. On the first run it writes a starter settings file: the web server listens on
# 127.0.0.1 port 8080 (reachable from this machine only, and no root needed), with the
# camera user "admin" and the password "orbiscope". Change them in
# dist/orbiscope.CONFIG.XML (SERVER/IP, PORT, USER; PASS holds the password's MD5 digest
# in upper-case hexadecimal) and send the program SIGHUP, or restart it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target orbiscope Resource orbiscope_webserver_config
cmake --install build --prefix dist >/dev/null

settings=dist/orbiscope.CONFIG.XML
if [ ! -f "$settings" ]; then
  cat > "$settings" <<'XML'
<?xml version="1.0" encoding="windows-1252"?>
<ORBISCOPEConfigSettings><SERVER><IP>127.0.0.1</IP><PORT>8080</PORT><USER>admin</USER><PASS>6EAECEABA6C8C60FB12DE835AEDF52D1</PASS><ENABLEWAP>TRUE</ENABLEWAP></SERVER></ORBISCOPEConfigSettings>
XML
  echo "First run: wrote $settings (127.0.0.1:8080, camera user admin, password orbiscope)."
fi
echo "Open http://127.0.0.1:8080/ once the program says it serves; Ctrl+C stops it."
exec ./dist/orbiscope --headless "$@"
