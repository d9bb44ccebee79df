#!/bin/sh
# Requests per second of the server engine (stand-in session: a fixed 100-byte answer and
# one access-log line per request) against nginx serving a 100-byte file, both on loopback,
# measured with wrk: 10 connections, keep-alive, 10 seconds each.
#
#   bench/httpd/wrk-vs-nginx.sh [BUILD_DIR]      (default: build)
#
# The build must contain httpd_standin_server:
#   cmake --build BUILD_DIR --target httpd_standin_server
set -eu

build=${1:-build}
server=$build/bin/httpd_standin_server
[ -x "$server" ] || { echo "missing $server; build the target httpd_standin_server" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }
. "$(dirname "$0")/../loopback-nginx.sh"
[ -x "$nginx" ] || { echo "nginx is not installed" >&2; exit 1; }

work=$(mktemp -d)
ours=18431
theirs=18432
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  stop_loopback_nginx "$work"
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The same 100 bytes nginx will send.
mkdir -p "$work/html" "$work/logs"
head -c 100 /dev/zero | tr '\0' 'x' > "$work/html/index.html"

"$server" "$ours" 10 "$work" > "$work/server.out" &
server_pid=$!
# The server prints its line once it accepts.
i=0
until grep -q listening "$work/server.out" 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 100 ] && { echo "stand-in server did not start" >&2; exit 1; }
  sleep 0.1
done
start_loopback_nginx "$work" "$theirs"

measure() {
  wrk -t2 -c10 -d10s -H "Connection: Keep-Alive" "http://127.0.0.1:$1/index.html" |
    awk '/Requests\/sec/ { print $2 }'
}
ours_rps=$(measure $ours)
theirs_rps=$(measure $theirs)
kill "$server_pid"
wait "$server_pid" || true
server_pid=
tally=$(grep answered "$work/server.out" || true)

echo "stand-in server (10 workers): $ours_rps requests/s ($tally)"
echo "nginx:                        $theirs_rps requests/s"
awk -v a="$ours_rps" -v b="$theirs_rps" 'BEGIN { printf "ratio: %.2f (target at least 0.33)\n", a / b }'
