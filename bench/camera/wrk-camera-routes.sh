#!/bin/sh
# The camera routes measured from outside: wrk on 127.0.0.1 with 10 keep-alive connections
# for 10 s per route against the test server on a 640 x 480 test pattern; a lone client's
# JPEG (one connection, one request at a time); nginx serving the same JPEG as a file; and,
# in the same run, each route's conversion time from camera_routes_bench. Prints every
# figure with its target.
#
#   bench/camera/wrk-camera-routes.sh [BUILD_DIR]      (default: build)
#
# The build must contain camera_bench_server and camera_routes_bench:
#   cmake --build BUILD_DIR --target camera_bench_server camera_routes_bench
set -eu

build=${1:-build}
server=$build/bin/camera_bench_server
bench=$build/bin/camera_routes_bench
for f in "$server" "$bench"; do
  [ -x "$f" ] || { echo "missing $f; build camera_bench_server and camera_routes_bench" >&2; exit 1; }
done
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }
. "$(dirname "$0")/../loopback-nginx.sh"
[ -x "$nginx" ] || { echo "nginx is not installed" >&2; exit 1; }
py=/usr/bin/python3

work=$(mktemp -d)
ours=18441
theirs=18442
user=bench
password=bench-pass
digest=$(printf %s "$password" | md5sum | cut -d' ' -f1 | tr a-f A-F)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  stop_loopback_nginx "$work"
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The rates below assume both cores are ours: the load average says how far that held.
echo "== load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== conversion time per route (camera_routes_bench, 640x480 test pattern; CPU time, wall time)"
"$bench" --benchmark_format=csv --benchmark_min_time=0.5 2>/dev/null \
  | awk -F, '/^"BM_/ { gsub(/"/, "", $1); printf "%s %.3f %.3f\n", $1, $4, $3 }' > "$work/conv.txt"
awk '{ printf "  %-22s %8.3f ms CPU %8.3f ms wall\n", $1, $2, $3 }' "$work/conv.txt"

"$server" "$ours" "$user" "$password" "$work" > "$work/server.out" &
server_pid=$!
i=0
until grep -q listening "$work/server.out" 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 100 ] && { echo "camera server did not start" >&2; exit 1; }
  sleep 0.1
done

base="http://127.0.0.1:$ours"
jpeg="$base/image%20?user=$user%20pass=$digest%20w=640%20h=480"
png="$base/image.png?user=$user&pass=$digest&w=640&h=480"
gif="$base/image.xhtml?user=$user&pass=$password&n=1"
wbmp="$base/image.wml?user=$user&pass=$password"

# The route's own 640x480 JPEG, for nginx to serve as a file.
mkdir -p "$work/html" "$work/logs"
$py -c "import sys, urllib.request; open(sys.argv[2], 'wb').write(urllib.request.urlopen(sys.argv[1]).read())" \
  "$jpeg" "$work/html/image.jpg"
start_loopback_nginx "$work" "$theirs"

# "requests/s median_ms p99_ms" for one wrk run.
measure() {
  conns=$1; url=$2
  wrk -t"$([ "$conns" -gt 1 ] && echo 2 || echo 1)" -c"$conns" -d10s --latency \
    -H "Connection: Keep-Alive" "$url" > "$work/wrk.out"
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /Requests\/sec/ { rps = $2 }
    $1 == "50%" { p50 = ms($2) }
    $1 == "99%" { p99 = ms($2) }
    /Non-2xx/ { bad = $NF }
    END { printf "%s %.3f %.3f %s\n", rps, p50, p99, (bad == "" ? 0 : bad) }' "$work/wrk.out"
}

echo "== wrk, 10 keep-alive connections, 10 s per route (2 cores)"
printf "  %-6s %10s %9s %9s %10s %12s %s\n" route req/s p50_ms p99_ms conv_ms target_rps verdict
for route in jpeg png gif wbmp; do
  eval url=\$$route
  set -- $(measure 10 "$url")
  rps=$1; p50=$2; p99=$3; bad=$4
  case $route in
    jpeg) conv=$(awk '$1 == "BM_Camera_Jpeg640" { print $2 }' "$work/conv.txt") ;;
    png) conv=$(awk '$1 == "BM_Camera_Png640" { print $2 }' "$work/conv.txt") ;;
    gif) conv=$(awk '$1 == "BM_Camera_Gif" { print $2 }' "$work/conv.txt") ;;
    wbmp) conv=$(awk '$1 == "BM_Camera_Wbmp" { print $2 }' "$work/conv.txt") ;;
  esac
  awk -v r="$route" -v rps="$rps" -v p50="$p50" -v p99="$p99" -v conv="$conv" -v bad="$bad" 'BEGIN {
    target = 0.7 * 2000 / conv
    ok = (rps >= target && p99 < 50 && bad == 0) ? "ok" : "MISSED"
    printf "  %-6s %10.0f %9.3f %9.3f %10.3f %12.0f %s (rate >= 70%% of 2/conv, p99 < 50 ms, non-2xx %s)\n",
      r, rps, p50, p99, conv, target, ok, bad }'
done

echo "== a lone client, JPEG 640x480 (one connection, one request at a time)"
set -- $(measure 1 "$jpeg")
awk -v rps="$1" -v p50="$2" -v p99="$3" 'BEGIN {
  printf "  %.0f req/s, median %.3f ms, p99 %.3f ms (target median under 5 ms: %s)\n",
    rps, p50, p99, (p50 < 5 ? "ok" : "MISSED") }'

echo "== nginx serving the same JPEG ($(wc -c < "$work/html/image.jpg") bytes) as a file"
set -- $(measure 10 "http://127.0.0.1:$theirs/image.jpg")
printf "  %.0f req/s, median %.3f ms, p99 %.3f ms\n" "$1" "$2" "$3"

echo "== peak resident size of the camera server: $(awk '/VmHWM/ { print $2, $3 }' /proc/$server_pid/status)"
kill "$server_pid"
wait "$server_pid" || true
server_pid=
echo "== load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
