#!/bin/sh
# Requests per second of the server engine (stand-in session: a fixed 100-byte answer and
# one access-log line per request) beside the engine as it landed before the event loop
# (commit bf672e4, built from git into a temporary folder) and nginx serving a 100-byte
# file, all on loopback in one run, measured with wrk: keep-alive, at 10 and at 256
# connections. The machine is shared, so the three are measured in turn, 5 s each, three
# rounds, and each figure is the median of its three.
#
#   bench/httpd/wrk-vs-nginx.sh [BUILD_DIR] [LANDED_COMMIT]   (defaults: build, bf672e4)
#
# The build must contain httpd_standin_server:
#   cmake --build BUILD_DIR --target httpd_standin_server
set -eu

build=${1:-build}
landed_commit=${2:-bf672e4}
server=$build/bin/httpd_standin_server
[ -x "$server" ] || { echo "missing $server; build the target httpd_standin_server" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }
. "$(dirname "$0")/../loopback-nginx.sh"
[ -x "$nginx" ] || { echo "nginx is not installed" >&2; exit 1; }
repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)

work=$(mktemp -d)
ours=18431
theirs=18432
landed=18433
pids=
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  stop_loopback_nginx "$work"
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The landed engine, from git (ccache makes the build cheap after the first time).
echo "== building the landed engine ($landed_commit)"
mkdir -p "$work/landed-src"
git -C "$repo" archive "$landed_commit" | tar -x -C "$work/landed-src"
cmake -S "$work/landed-src" -B "$work/landed-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORBISCOPE_TESTS=OFF -DORBISCOPE_GUI=OFF >/dev/null
cmake --build "$work/landed-build" -j "$(nproc)" --target httpd_standin_server >/dev/null
landed_server=$work/landed-build/bin/httpd_standin_server

# The same 100 bytes nginx will send.
mkdir -p "$work/html" "$work/logs" "$work/ours" "$work/landed"
head -c 100 /dev/zero | tr '\0' 'x' > "$work/html/index.html"

# start NAME BINARY ARGS...: starts a stand-in server and waits for its "listening" line.
start() {
  name=$1; shift
  "$@" > "$work/$name.out" &
  pids="$pids $!"
  i=0
  until grep -q listening "$work/$name.out" 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 100 ] && { echo "$name server did not start" >&2; exit 1; }
    sleep 0.1
  done
}
# wrk wants every connection from 127.0.0.1: the per-client limit is raised for it.
start ours "$server" "$ours" 10 "$work/ours" 1000
start landed "$landed_server" "$landed" 10 "$work/landed"
start_loopback_nginx "$work" "$theirs"

# "requests/s p99_ms errors" for one wrk run.
measure() {
  wrk -t2 -c"$1" -d5s --latency -H "Connection: Keep-Alive" "http://127.0.0.1:$2/index.html" \
    > "$work/wrk.out"
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /Requests\/sec/ { rps = $2 }
    $1 == "99%" { p99 = ms($2) }
    /Socket errors/ { errors = $0; sub(/.*Socket errors: /, "", errors) }
    END { printf "%s %.3f %s\n", rps, p99, (errors == "" ? "none" : errors) }' "$work/wrk.out" |
    tr ' ' '\t' | sed 's/\t/ /3g'
}

median() { sort -n | sed -n 2p; }

for conns in 10 256; do
  echo "== $conns keep-alive connections (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  for round in 1 2 3; do
    for target in ours:$ours landed:$landed nginx:$theirs; do
      name=${target%%:*}; port=${target#*:}
      measure "$conns" "$port" >> "$work/$name.$conns"
    done
  done
  for name in ours landed nginx; do
    printf "  %-7s %10.0f req/s  p99 %8.3f ms  (rounds: %s req/s)  socket errors: %s\n" "$name" \
      "$(cut -f1 "$work/$name.$conns" | median)" "$(cut -f2 "$work/$name.$conns" | median)" \
      "$(cut -f1 "$work/$name.$conns" | cut -d. -f1 | paste -sd" ")" \
      "$(cut -f3 "$work/$name.$conns" | sort -u | tr '\n' ' ')"
  done
  awk -v a="$(cut -f1 "$work/ours.$conns" | median)" -v l="$(cut -f1 "$work/landed.$conns" | median)" \
      -v n="$(cut -f1 "$work/nginx.$conns" | median)" 'BEGIN {
    printf "  ours/landed %.2f (target at least 1.00), ours/nginx %.2f (target at least 0.60)\n", a / l, a / n }'
done
echo "== load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
for pid in $pids; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true; done
pids=
echo "== answered and logged: ours $(grep answered "$work/ours.out" || true); landed $(grep answered "$work/landed.out" || true)"
