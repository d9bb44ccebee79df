# Sourced by the camera benchmarks: the built program, headless on its 640 x 480 test
# pattern with caption and time, in a throw-away home whose settings serve on a free
# loopback port, as a user would run it.
#   free_port                      prints a TCP port free on 127.0.0.1
#   start_orbiscope BUILD WORK FPS starts BUILD/bin/orbiscope with home WORK/home and waits
#                                  until it serves a picture; sets orbiscope_pid and
#                                  orbiscope_port
#   stop_pid PID                   SIGTERM, SIGKILL after 15 s, and reaps it; harmless
#                                  when PID is empty or gone
#   make_work                      sets work to a fresh folder; on exit, INT or TERM the
#                                  program (orbiscope_pid) and the processes in
#                                  cleanup_pids are stopped and the folder removed
# The camera user and password are the starter settings' ("admin", "orbiscope"):
# orbiscope_user and orbiscope_digest.

orbiscope_user=admin
orbiscope_digest=6EAECEABA6C8C60FB12DE835AEDF52D1
orbiscope_pid=
orbiscope_port=
cleanup_pids=

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A child that has ended stays a zombie until it is reaped: that is not running.
pid_running() {
  [ -r "/proc/$1/stat" ] && [ "$(cut -d')' -f2 "/proc/$1/stat" | cut -d' ' -f2)" != Z ]
}

stop_pid() {
  local pid=$1 i=0
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  while pid_running "$pid" && [ $i -lt 150 ]; do i=$((i + 1)); sleep 0.1; done
  pid_running "$pid" && kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}

cleanup_work() {
  local pid
  stop_pid "$orbiscope_pid"
  for pid in $cleanup_pids; do stop_pid "$pid"; done
  rm -rf "$work"
}

make_work() {
  work=$(mktemp -d)
  trap cleanup_work EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

start_orbiscope() {
  local build=$1 work=$2 fps=$3 home i=0
  home=$work/home
  orbiscope_port=$(free_port)
  mkdir -p "$home" "$work/run"
  chmod 700 "$work/run"
  # Each edit must hit exactly its line of the starter settings, or the run would measure
  # something else without saying so.
  sed -e "s|<PORT>8080</PORT>|<PORT>$orbiscope_port</PORT>|" \
      -e "s|<VIRTDIR/>|<VIRTDIR>$home/root</VIRTDIR>|" \
      -e "s|<DEVICE/>|<DEVICE>Orbiscope test pattern</DEVICE>|" \
      -e "s|<FPS/>|<FPS>$fps</FPS>|" \
      -e "/<SIZE>/,/<\/SIZE>/ s|<WIDHT>0</WIDHT>|<WIDHT>640</WIDHT>|" \
      -e "/<SIZE>/,/<\/SIZE>/ s|<HEIGTH>0</HEIGTH>|<HEIGTH>480</HEIGTH>|" \
      -e "s|<SHOWTEXT>FALSE</SHOWTEXT>|<SHOWTEXT>TRUE</SHOWTEXT>|" \
      -e "s|<TEXT>Orbiscope</TEXT>|<TEXT>Orbiscope bench</TEXT>|" \
      "$build/bin/starter.CONFIG.XML" > "$home/orbiscope.CONFIG.XML"
  for want in "<PORT>$orbiscope_port<" "<DEVICE>Orbiscope test pattern<" "<FPS>$fps<" \
              "<WIDHT>640<" "<HEIGTH>480<" "<TEXT>Orbiscope bench<" "<TIMEDATA>129<"; do
    grep -q "$want" "$home/orbiscope.CONFIG.XML" || { echo "settings: $want not set" >&2; return 1; }
  done

  # wrk opens every connection from 127.0.0.1: the per-client limit (64) is raised for it,
  # or a run of 64 connections that starts while the last one's are being closed meets it.
  sed "s|<MaxConnectionsPerClient>64<|<MaxConnectionsPerClient>1024<|" \
    "$build/bin/WebServer.config.xml" > "$home/WebServer.config.xml"
  grep -q "<MaxConnectionsPerClient>1024<" "$home/WebServer.config.xml" ||
    { echo "WebServer.config.xml: MaxConnectionsPerClient not set" >&2; return 1; }

  # A private runtime folder, so that another copy on this machine does not make this one
  # a silent second instance.
  env -u DISPLAY -u WAYLAND_DISPLAY -u ORBISCOPE_HOME XDG_RUNTIME_DIR="$work/run" \
    "$build/bin/orbiscope" --headless --home "$home" > "$work/orbiscope.out" 2> "$work/orbiscope.err" &
  orbiscope_pid=$!
  until grep -q "^Orbiscope serves" "$work/orbiscope.out" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 200 ] || ! pid_running "$orbiscope_pid"; then
      echo "orbiscope did not start serving:" >&2; cat "$work/orbiscope.out" "$work/orbiscope.err" >&2
      return 1
    fi
    sleep 0.1
  done
  # Before the first frame the JPEG route answers an empty picture.
  i=0
  until [ "$(curl -s -o /dev/null -w '%{size_download}' \
      "http://127.0.0.1:$orbiscope_port/image%20?user=$orbiscope_user%20pass=$orbiscope_digest")" -gt 0 ]; do
    i=$((i + 1)); [ $i -gt 100 ] && { echo "orbiscope serves no picture" >&2; return 1; }
    sleep 0.1
  done
}
