# Sourced by the wrk benchmarks: nginx from Debian serving a folder on a loopback port,
# the reference every server figure is put beside.
#   start_loopback_nginx WORK PORT   serves WORK/html on 127.0.0.1:PORT, logs in WORK/logs
#   stop_loopback_nginx WORK         stops it again (harmless when it never started)

nginx=$(command -v nginx || echo /usr/sbin/nginx)

start_loopback_nginx() {
  local work=$1 port=$2
  mkdir -p "$work/html" "$work/logs"
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
  local work=$1
  [ -f "$work/nginx.pid" ] && "$nginx" -p "$work" -c "$work/nginx.conf" -s stop 2>/dev/null
  return 0
}
