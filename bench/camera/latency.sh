#!/bin/sh
# Capture-to-client time of a local viewer of the live stream: Orbiscope headless on its
# test pattern at 30 fps with caption and time, one viewer of /stream.mjpg at full size,
# at 640 x 480 and then at 1920 x 1080 (the settings edited and applied with SIGHUP).
# latency.py takes each part's arrival less its X-Timestamp and prints the median and p99
# beside the targets (median under one frame interval + 15 ms, p99 under three frame
# intervals); exits 1 when one is missed.
#
#   bench/camera/latency.sh [BUILD_DIR] [SECONDS] [SIZE...]
#       (defaults: build 20 640x480 1920x1080)
#
# A size is taken only when the test pattern lists it (its frame-size menu); one it does
# not offer is reported and counts as a miss.
#
# The build must contain the program:
#   cmake --build BUILD_DIR --target orbiscope Resource orbiscope_webserver_config
set -eu

build=${1:-build}
seconds=${2:-20}
[ $# -gt 2 ] && shift 2 || set -- 640x480 1920x1080
fps=30
here=$(dirname "$0")
[ -x "$build/bin/orbiscope" ] || { echo "missing $build/bin/orbiscope; build the target orbiscope" >&2; exit 1; }
. "$here/headless-orbiscope.sh"

work=$(mktemp -d)
cleanup() {
  stop_pid "$orbiscope_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The size the status page tells, as "WxH".
status_size() {
  curl -s "http://127.0.0.1:$orbiscope_port/status.json?user=$orbiscope_user&pass=$orbiscope_digest" |
    /usr/bin/python3 -c 'import json, sys; s = json.load(sys.stdin); print("%dx%d" % (s["width"], s["height"]))'
}

start_orbiscope "$build" "$work" "$fps"
status=0
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
      echo "== $size: the camera does not offer it (it captures at $(status_size)); not measured"
      status=1
      continue
    fi
  fi
  echo "== one viewer of /stream.mjpg at $size, $fps fps, $seconds s (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  /usr/bin/python3 "$here/latency.py" "$orbiscope_port" --seconds "$seconds" --fps "$fps" \
    --user "$orbiscope_user" --digest "$orbiscope_digest" --expect-size "$size" > "$work/latency.out" || status=1
  sed 's/^/  /' "$work/latency.out"
done
exit $status
