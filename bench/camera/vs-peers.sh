#!/bin/sh
# The JPEG route beside its peers, all on loopback in one run: Orbiscope headless on its
# 640 x 480 test pattern at 30 fps with caption and time; Debian's motion daemon on a
# 640 x 480, 30 fps test movie (looped), with its text overlay, answering its /current
# snapshot; and nginx serving one JPEG fetched from Orbiscope as a static file. wrk asks
# each for the 640 x 480 picture over 8 and over 64 keep-alive connections (requests/s,
# median and 99th percentile answer time), and as a lone client (one connection, one
# request at a time). The machine is shared, so the three are measured in turn, ROUNDS
# rounds of SECONDS each, and every figure is the median of its rounds. Prints a table
# with ours/motion and ours/nginx beside their targets, and the load average.
#
#   bench/camera/vs-peers.sh [BUILD_DIR] [SECONDS] [ROUNDS]     (defaults: build 4 3)
#
# The build must contain the program:
#   cmake --build BUILD_DIR --target orbiscope Resource orbiscope_webserver_config
# motion and ffmpeg are installed with apt-get when missing (they are needed here only).
set -eu

build=${1:-build}
seconds=${2:-4}
rounds=${3:-3}
here=$(dirname "$0")
[ -x "$build/bin/orbiscope" ] || { echo "missing $build/bin/orbiscope; build the target orbiscope" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is not installed (scripts/install-deps.sh)" >&2; exit 1; }
. "$here/../loopback-nginx.sh"
[ -x "$nginx" ] || { echo "nginx is not installed (scripts/install-deps.sh)" >&2; exit 1; }
. "$here/headless-orbiscope.sh"

missing=
command -v motion >/dev/null || missing="$missing motion"
command -v ffmpeg >/dev/null || missing="$missing ffmpeg"
if [ -n "$missing" ]; then
  echo "== installing$missing"
  sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
  # shellcheck disable=SC2086
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing ||
    { $sudo apt-get update -q && $sudo env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends $missing; }
  # The package enables and starts motion as a system service (on ports 8080 and 8081):
  # installed only for this benchmark, it should not stay running.
  case $missing in *motion*)
    [ -d /run/systemd/system ] && $sudo systemctl disable --now motion.service 2>/dev/null || true ;;
  esac
fi

work=$(mktemp -d)
motion_pid=
cleanup() {
  stop_pid "$orbiscope_pid"
  stop_pid "$motion_pid"
  stop_loopback_nginx "$work"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== busiest processes at start (the machine is shared):"
top -bn1 -o %CPU | sed -n '8,12p' | awk '{ printf "  %5s%% %s\n", $9, $12 }'

# A few seconds of ffmpeg's test source, which motion plays over and over.
ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc2=size=640x480:rate=30 -t 5 \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p "$work/movie.mkv"

# motion on the movie, its pictures and films off, its stream and control ports on
# loopback only; /current on the stream port is its latest picture as JPEG.
motion_port=$(free_port)
motion_control=$(free_port)
mkdir -p "$work/motion"
cat > "$work/motion.conf" <<CONF
daemon off
log_file $work/motion/motion.log
target_dir $work/motion
netcam_url file://$work/movie.mkv
width 640
height 480
framerate 30
text_left motion bench
text_right %Y-%m-%d\n%T
picture_output off
movie_output off
picture_quality 75
stream_quality 75
stream_maxrate 30
stream_port $motion_port
stream_localhost on
webcontrol_port $motion_control
webcontrol_localhost on
CONF
motion -n -c "$work/motion.conf" > "$work/motion/stdout" 2>&1 &
motion_pid=$!

start_orbiscope "$build" "$work" 30

# motion answers /current once its first picture has been decoded.
i=0
until [ "$(curl -s -o "$work/motion.jpg" -w '%{http_code}' "http://127.0.0.1:$motion_port/current")" = 200 ] &&
      [ -s "$work/motion.jpg" ]; do
  i=$((i + 1))
  if [ $i -gt 200 ] || ! pid_running "$motion_pid"; then
    echo "motion did not serve /current:" >&2; cat "$work/motion/motion.log" >&2; exit 1
  fi
  sleep 0.1
done

# What each server costs with no client at all: ours renders and stamps 30 frames a
# second, motion decodes its movie and looks for motion in it.
cpu_ticks() { cut -d')' -f2 "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
# cpu_since PID TICKS SECONDS: PID's share of one core since its CPU time was TICKS.
cpu_since() {
  awk -v a="$2" -v b="$(cpu_ticks "$1")" -v hz="$(getconf CLK_TCK)" -v s="$3" 'BEGIN { printf "%.2f", (b - a) / hz / s }'
}
set -- "$(cpu_ticks "$orbiscope_pid")" "$(cpu_ticks "$motion_pid")"
sleep 2
echo "== CPU with no clients: ours $(cpu_since "$orbiscope_pid" "$1" 2) of one core, motion $(cpu_since "$motion_pid" "$2" 2)"

ours_url="http://127.0.0.1:$orbiscope_port/image%20?user=$orbiscope_user%20pass=$orbiscope_digest%20w=640%20h=480"
# The snapshot action the printer hosts ask for: the same picture through the same cache.
snap_url="http://127.0.0.1:$orbiscope_port/webcam/?action=snapshot&user=$orbiscope_user&pass=$orbiscope_digest&w=640&h=480&_=1"
mkdir -p "$work/html"
curl -s -o "$work/html/image.jpg" "$ours_url"
nginx_port=$(free_port)
start_loopback_nginx "$work" "$nginx_port"

# "requests/s p50_ms p99_ms errors" for one wrk run; errors are wrk's socket errors and
# answers other than 2xx.
measure() {
  wrk -t"$([ "$1" -gt 1 ] && echo 2 || echo 1)" -c"$1" -d"${seconds}s" --latency \
    -H "Connection: Keep-Alive" "$2" > "$work/wrk.out"
  grep -E "Socket errors|Non-2xx" "$work/wrk.out" | sed "s|^ *|  round $round, $1 connections, $2: |" >> "$work/errors"
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /Requests\/sec/ { rps = $2 }
    $1 == "50%" { p50 = ms($2) }
    $1 == "99%" { p99 = ms($2) }
    /Socket errors/ { split($0, e, /[ ,]+/); for (k in e) if (e[k] ~ /^[0-9]+$/) bad += e[k] }
    /Non-2xx/ { bad += $NF }
    END { printf "%s %.3f %.3f %d\n", rps, p50, p99, bad }' "$work/wrk.out"
}

for round in $(seq "$rounds"); do
  echo "== round $round of $rounds (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  for conns in 8 64 1; do
    measure "$conns" "$ours_url" >> "$work/ours.$conns"
    measure "$conns" "$snap_url" >> "$work/snap.$conns"
    measure "$conns" "http://127.0.0.1:$motion_port/current" >> "$work/motion.$conns"
    measure "$conns" "http://127.0.0.1:$nginx_port/image.jpg" >> "$work/nginx.$conns"
  done
done

# The median of column $1 over the rounds.
median() { cut -d' ' -f"$1" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
figures() { printf "%s %s %s %s" "$(median 1 < "$1")" "$(median 2 < "$1")" "$(median 3 < "$1")" \
  "$(awk '{ n += $4 } END { print n }' "$1")"; }

echo "== JPEG 640x480, median of $rounds rounds of $seconds s; pictures: ours $(wc -c < "$work/html/image.jpg") B," \
  "motion $(wc -c < "$work/motion.jpg") B"
printf "  %-6s %-10s %10s %9s %9s %7s\n" conns server req/s p50_ms p99_ms errors
for conns in 8 64 1; do
  for name in ours snap motion nginx; do
    # shellcheck disable=SC2046
    set -- $(figures "$work/$name.$conns")
    printf "  %-6s %-10s %10.0f %9.3f %9.3f %7d\n" "$conns" "$name" "$1" "$2" "$3" "$4"
  done
done
for conns in 8 64; do
  awk -v c="$conns" -v o="$(median 1 < "$work/ours.$conns")" -v m="$(median 1 < "$work/motion.$conns")" \
      -v n="$(median 1 < "$work/nginx.$conns")" -v p="$(median 3 < "$work/ours.$conns")" 'BEGIN {
    printf "  %2d connections: ours/motion %.2f (target at least 2.5: %s), ours/nginx %.2f (target at least 0.8: %s), ours p99 %.1f ms (target under 10: %s)\n",
      c, o / m, (o >= 2.5 * m ? "ok" : "MISSED"), o / n, (o >= 0.8 * n ? "ok" : "MISSED"), p, (p < 10 ? "ok" : "MISSED") }'
done
for conns in 8 64 1; do
  awk -v c="$conns" -v o="$(median 1 < "$work/ours.$conns")" -v s="$(median 1 < "$work/snap.$conns")" 'BEGIN {
    d = (s - o) / o; if (d < 0) d = -d
    printf "  %2d connections: snapshot action/JPEG route %.3f (target within 5 %%: %s)\n", c, s / o, (d <= 0.05 ? "ok" : "MISSED") }'
done
awk -v o="$(median 2 < "$work/ours.1")" -v m="$(median 2 < "$work/motion.1")" -v n="$(median 2 < "$work/nginx.1")" 'BEGIN {
  printf "  a lone client: ours median %.3f ms (target under 5: %s), motion %.3f ms, nginx %.3f ms\n",
    o, (o < 5 ? "ok" : "MISSED"), m, n }'
[ -s "$work/errors" ] && { echo "== errors reported by wrk"; cat "$work/errors"; }
echo "== load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
