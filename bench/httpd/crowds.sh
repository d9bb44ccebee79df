#!/bin/sh
# The server among crowds, on the program's session over the 640 x 480 test pattern
# (camera_bench_server, default limits), each crowd spread over 127/8 source addresses:
#   1. 1 000 idle kept-alive connections and 200 slowloris connections, then 20 fresh
#      clients one after another asking for a 320 x 240 JPEG (the desktop page's default);
#   2. 100 viewers polling that JPEG at 10 pictures/s each over kept-alive connections for
#      30 s.
# Prints each figure beside its target, with the load average, the server's resident size
# and its threads (ten workers, the loop, the frame publisher and the main thread).
#
#   bench/httpd/crowds.sh [BUILD_DIR]      (default: build)
#
# The build must contain camera_bench_server:
#   cmake --build BUILD_DIR --target camera_bench_server
set -eu

build=${1:-build}
server=$build/bin/camera_bench_server
[ -x "$server" ] || { echo "missing $server; build the target camera_bench_server" >&2; exit 1; }
py=/usr/bin/python3
crowd=$(dirname "$0")/crowd.py

work=$(mktemp -d)
port=18451
user=bench
password=bench-pass
digest=$(printf %s "$password" | md5sum | cut -d' ' -f1 | tr a-f A-F)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$server" "$port" "$user" "$password" "$work" > "$work/server.out" &
server_pid=$!
i=0
until grep -q listening "$work/server.out" 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 100 ] && { echo "camera server did not start" >&2; exit 1; }
  sleep 0.1
done
jpeg="/image%20?user=$user%20pass=$digest%20w=320%20h=240"

echo "== idle and slowloris crowd (load average $(cut -d' ' -f1-3 /proc/loadavg))"
"$py" "$crowd" idle "$port" "$server_pid" --url "$jpeg" | sed 's/^/  /'
echo "== viewers (load average $(cut -d' ' -f1-3 /proc/loadavg))"
"$py" "$crowd" viewers "$port" "$server_pid" --url "$jpeg" | sed 's/^/  /'
echo "== peak resident size of the server: $(awk '/VmHWM/ { print $2, $3 }' /proc/$server_pid/status)"
echo "== load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
