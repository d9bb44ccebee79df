#!/bin/sh
# The resident size the stand-in server keeps for 60 kept-alive connections that each sent
# a 1 MB POST and now wait (see parked-memory.py).
#
#   bench/httpd/parked-memory.sh [BUILD_DIR] [CONNECTIONS] [BYTES]   (default: build 60 1000000)
#
# The build must contain httpd_standin_server:
#   cmake --build BUILD_DIR --target httpd_standin_server
set -eu

build=${1:-build}
server=$build/bin/httpd_standin_server
[ -x "$server" ] || { echo "missing $server; build the target httpd_standin_server" >&2; exit 1; }
work=$(mktemp -d)
port=18452
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Four workers, and room for every connection from 127.0.0.1.
"$server" "$port" 4 "$work" 1000 > "$work/server.out" &
server_pid=$!
i=0
until grep -q listening "$work/server.out" 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 100 ] && { echo "stand-in server did not start" >&2; exit 1; }
  sleep 0.1
done
/usr/bin/python3 "$(dirname "$0")/parked-memory.py" "$port" "$server_pid" \
  --connections "${2:-60}" --bytes "${3:-1000000}"
