# Sourced by the wrk benchmarks: nginx from Debian serving a folder on a loopback port,
# the reference every server figure is put beside.
#   start_loopback_nginx WORK PORT   serves WORK/html on 127.0.0.1:PORT, logs in WORK/logs
#   stop_loopback_nginx WORK         stops it again (harmless when it never started)

nginx=$(command -v nginx || echo /usr/sbin/nginx)

start_loopback_nginx() {
  local work=$1 port=$2
  mkdir -p "$work/html" "$work/logs"
  # Started as root, nginx's workers run as another user: a private temporary folder would
  # answer every request 403 and the reference would measure refusals.
  chmod go+rx "$work" "$work/html"
  cat > "$work/nginx.conf" <<CONF
worker_processes auto;
error_log $work/logs/error.log;
pid $work/nginx.pid;
events { worker_connections 1024; }
http {
  access_log $work/logs/access.log;
  server {
    listen 127.0.0.1:$port;
    root $work/html;
  }
}
CONF
  "$nginx" -p "$work" -c "$work/nginx.conf"
}

stop_loopback_nginx() {
  local work=$1 pid i=0
  [ -f "$work/nginx.pid" ] || return 0
  pid=$(cat "$work/nginx.pid")
  "$nginx" -p "$work" -c "$work/nginx.conf" -s stop 2>/dev/null
  # The master ends after its workers; wait for it, so that nothing is left running.
  while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do i=$((i + 1)); sleep 0.1; done
  return 0
}
