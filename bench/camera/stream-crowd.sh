#!/bin/sh
# 200 viewers of the live stream: Orbiscope headless on its 640 x 480 test pattern at
# 15 fps with caption and time, and stream-crowd.py's viewers of /stream.mjpg at
# 640 x 480 for 30 s, each on its own loopback address. Prints each figure beside its
# target (every viewer at least 95 % of the frames published, the server under half a
# core and 128 MiB) and the load average; exits 1 when one is missed.
#
#   bench/camera/stream-crowd.sh [BUILD_DIR] [VIEWERS] [SECONDS]   (defaults: build 200 30)
#
# The build must contain the program:
#   cmake --build BUILD_DIR --target orbiscope Resource orbiscope_webserver_config
set -eu

build=${1:-build}
viewers=${2:-200}
seconds=${3:-30}
here=$(dirname "$0")
[ -x "$build/bin/orbiscope" ] || { echo "missing $build/bin/orbiscope; build the target orbiscope" >&2; exit 1; }
. "$here/headless-orbiscope.sh"

make_work

start_orbiscope "$build" "$work" 15
echo "== $viewers viewers of /stream.mjpg, 640x480 at 15 fps, $seconds s (load average $(cut -d' ' -f1-3 /proc/loadavg))"
status=0
/usr/bin/python3 "$here/stream-crowd.py" "$orbiscope_port" "$orbiscope_pid" --viewers "$viewers" \
  --seconds "$seconds" --user "$orbiscope_user" --digest "$orbiscope_digest" --fps 15 > "$work/crowd.out" || status=1
sed 's/^/  /' "$work/crowd.out"
echo "== load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
