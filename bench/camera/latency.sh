#!/bin/sh
# Capture-to-client time of a local viewer of the live stream, at 30 fps with caption and
# time, one viewer of /stream.mjpg at full size, for each size asked:
#  - the program itself, headless on its test pattern, at the sizes the pattern offers
#    (640 x 480 first, then each further one by editing the settings and applying them with
#    SIGHUP); its X-Timestamp is the moment a frame reaches the server;
#  - camera_latency_server, the same server fed by the capture graph over the emulated USB
#    camera (MJPEG and YUYV, libv4l2 and libv4lconvert, sensor noise), at every size; its
#    X-Timestamp is the moment the camera's buffer was dequeued, before its conversion.
# latency.py takes each part's arrival less its X-Timestamp and prints the median and p99
# beside the targets (median under one frame interval + 15 ms, p99 under three frame
# intervals); exits 1 when one is missed.
#
#   bench/camera/latency.sh [BUILD_DIR] [SECONDS] [SIZE...]
#       (defaults: build 20 640x480 1920x1080)
#
# A size the test pattern does not offer (it lists 640x480, 320x240, 800x600, 1280x720) is
# measured over the emulated camera only.
#
# The build must contain:
#   cmake --build BUILD_DIR --target orbiscope Resource orbiscope_webserver_config camera_latency_server
set -eu

build=${1:-build}
seconds=${2:-20}
[ $# -gt 2 ] && shift 2 || set -- 640x480 1920x1080
fps=30
here=$(dirname "$0")
for f in "$build/bin/orbiscope" "$build/bin/camera_latency_server"; do
  [ -x "$f" ] || { echo "missing $f; build the targets orbiscope and camera_latency_server" >&2; exit 1; }
done
. "$here/headless-orbiscope.sh"
make_work

# The size the status page tells, as "WxH".
status_size() {
  curl -s "http://127.0.0.1:$orbiscope_port/status.json?user=$orbiscope_user&pass=$orbiscope_digest" |
    /usr/bin/python3 -c 'import json, sys; s = json.load(sys.stdin); print("%dx%d" % (s["width"], s["height"]))'
}

# One viewer for $seconds on PORT at SIZE, its figures indented; 1 when a target is missed.
measure() {
  local port=$1 size=$2 result=0
  /usr/bin/python3 "$here/latency.py" "$port" --seconds "$seconds" --fps "$fps" \
    --user "$orbiscope_user" --digest "$orbiscope_digest" --expect-size "$size" > "$work/latency.out" || result=1
  sed 's/^/  /' "$work/latency.out"
  return $result
}

status=0
start_orbiscope "$build" "$work" "$fps"
for size in "$@"; do
  width=${size%x*}
  height=${size#*x}
  if [ "$size" != "$(status_size)" ]; then
    settings=$work/home/orbiscope.CONFIG.XML
    sed -i -e "/<SIZE>/,/<\/SIZE>/ s|<WIDHT>[0-9]*</WIDHT>|<WIDHT>$width</WIDHT>|" \
           -e "/<SIZE>/,/<\/SIZE>/ s|<HEIGTH>[0-9]*</HEIGTH>|<HEIGTH>$height</HEIGTH>|" "$settings"
    kill -HUP "$orbiscope_pid"
    i=0
    until [ "$(status_size 2>/dev/null)" = "$size" ]; do
      i=$((i + 1))
      [ $i -gt 100 ] && break
      sleep 0.1
    done
    if [ "$(status_size)" != "$size" ]; then
      echo "== $size: the test pattern does not offer it (it captures at $(status_size)); the emulated camera only"
      continue
    fi
  fi
  echo "== the program on its test pattern, $size, $fps fps, $seconds s (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  measure "$orbiscope_port" "$size" || status=1
done
stop_pid "$orbiscope_pid"
orbiscope_pid=

for size in "$@"; do
  width=${size%x*}
  height=${size#*x}
  "$build/bin/camera_latency_server" "$width" "$height" "$fps" 0 "$orbiscope_user" orbiscope "$work" \
    > "$work/camera.out" 2> "$work/camera.err" &
  camera_pid=$!
  cleanup_pids=$camera_pid
  i=0
  until grep -q "^listening on" "$work/camera.out" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 200 ] || ! pid_running "$camera_pid"; then
      echo "== $size: camera_latency_server did not start:" >&2; cat "$work/camera.out" "$work/camera.err" >&2
      status=1
      break
    fi
    sleep 0.1
  done
  if grep -q "^listening on" "$work/camera.out"; then
    port=$(sed -n 's/^listening on //p' "$work/camera.out")
    echo "== the capture graph over the emulated camera ($(sed -n 's/^camera streams //p' "$work/camera.out")), $size, $fps fps, $seconds s (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    measure "$port" "$size" || status=1
  fi
  stop_pid "$camera_pid"
  cleanup_pids=
done
exit $status
