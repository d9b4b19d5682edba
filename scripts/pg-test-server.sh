#!/usr/bin/env bash
# A throwaway PostgreSQL 15 cluster for the test suite.
#   pg-test-server.sh start DIR   creates and starts it, prints "export ..." lines
#   pg-test-server.sh stop DIR    stops it and removes DIR
#   pg-test-server.sh pause DIR   stops the server, keeping its data and port
#   pg-test-server.sh resume DIR  starts a paused server again on the same port
set -euo pipefail
action=$1
dir=$2
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

start_server() {
  as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
    -o "-p $(cat "$dir/port") -k $dir -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
}

case "$action" in
start)
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
  port=$(free_port)
  echo "$port" >"$dir/port"
  as_owner "$bin/initdb" -D "$dir/data" -U postgres --auth=trust -E UTF8 >"$dir/initdb.log" 2>&1
  start_server
  echo "export GATEWAY_TEST_PG_HOST=127.0.0.1"
  echo "export GATEWAY_TEST_PG_PORT=$port"
  echo "export GATEWAY_TEST_PG_USER=postgres"
  echo "export GATEWAY_TEST_PG_PASSWORD=postgres"
  echo "export GATEWAY_TEST_PG_DATABASE=postgres"
  ;;
stop)
  if [ -d "$dir/data" ]; then
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  ;;
pause)
  as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
  ;;
resume)
  start_server
  ;;
*)
  echo "usage: $0 start|stop|pause|resume DIR" >&2
  exit 2
  ;;
esac
