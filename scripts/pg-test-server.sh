#!/usr/bin/env bash
# A throwaway PostgreSQL server for the tests and benchmarks: a new cluster in a temporary
# folder, reachable only through a Unix socket in that folder, run by an unprivileged user (the
# server refuses to run as root).
#
#   scripts/pg-test-server.sh start STATE [--durable]   starts a server; STATE/uri receives the
#                                                      URI of its database "zema"
#   scripts/pg-test-server.sh stop STATE               stops it and removes everything
#   scripts/pg-test-server.sh run COMMAND...           starts a server, runs COMMAND with
#                                                      ZEMA_TEST_PG_URI set, stops and removes
#                                                      the server whatever COMMAND's outcome
#
# STATE is a folder of the caller's (created if missing) that remembers where the cluster lives.
# The cluster trades durability for speed (no fsync) unless --durable is given: a crash of the
# machine loses a test database, nothing else. The role "zema_pw" logs in with the password
# "zema-secret" only (for the tests of a refused login); every other login is trusted.
set -euo pipefail

die() { echo "pg-test-server: $*" >&2; exit 1; }

bindir() {
  local dir
  for dir in /usr/lib/postgresql/*/bin; do
    [ -x "$dir/initdb" ] && { echo "$dir"; return; }
  done
  command -v initdb >/dev/null 2>&1 && { dirname "$(command -v initdb)"; return; }
  die "no PostgreSQL server found (install the Debian package postgresql: scripts/setup.sh)"
}

# Runs a command as the cluster's owner: the caller itself, or "nobody" when the caller is root.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
  else
    "$@"
  fi
}

start() {
  local state=$1 durable=${2:-}
  mkdir -p "$state"
  [ -f "$state/cluster" ] && stop "$state"
  local bin root port=5432
  bin=$(bindir)
  root=$(mktemp -d /tmp/zema-pg.XXXXXX)
  echo "$root" >"$state/cluster"
  chmod 755 "$root"
  [ "$(id -u)" -eq 0 ] && chown nobody:nogroup "$root"
  as_owner "$bin/initdb" -D "$root/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
    >"$root/initdb.log" 2>&1 || { cat "$root/initdb.log" >&2; die "initdb failed"; }
  {
    echo "listen_addresses = ''"
    echo "unix_socket_directories = '$root'"
    echo "port = $port"
    echo "max_connections = 200"
    echo "shared_buffers = 64MB"
    if [ "$durable" != "--durable" ]; then
      echo "fsync = off"
      echo "synchronous_commit = off"
      echo "full_page_writes = off"
    fi
  } >>"$root/data/postgresql.conf"
  # The password role first: its login is never trusted.
  printf 'local all zema_pw scram-sha-256\nlocal all all trust\n' >"$root/data/pg_hba.conf"
  as_owner "$bin/pg_ctl" -D "$root/data" -l "$root/server.log" -w -t 60 start >/dev/null ||
    { cat "$root/server.log" >&2; die "the server did not start"; }
  local psql=("$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$root" -p "$port" -U postgres)
  "${psql[@]}" -d postgres -c "CREATE DATABASE zema" \
    -c "CREATE ROLE zema_pw LOGIN SUPERUSER PASSWORD 'zema-secret'" >/dev/null ||
    die "the test database could not be made"
  local host=${root//\//%2F}
  echo "postgresql://postgres@$host:$port/zema" >"$state/uri"
  echo "$port" >"$state/port"
  echo "$root" >"$state/socket"
  echo "pg-test-server: server running in $root"
}

stop() {
  local state=$1
  [ -f "$state/cluster" ] || return 0
  local root
  root=$(cat "$state/cluster")
  if [ -d "$root/data" ]; then
    as_owner "$(bindir)/pg_ctl" -D "$root/data" -m immediate -w -t 60 stop >/dev/null 2>&1 || true
  fi
  case "$root" in /tmp/zema-pg.*) rm -rf "$root" ;; esac
  rm -f "$state/cluster" "$state/uri" "$state/port" "$state/socket"
}

run() {
  # Global, not local: the EXIT trap runs after this function has returned.
  run_state=$(mktemp -d /tmp/zema-pg-state.XXXXXX)
  trap 'stop "$run_state"; rm -rf "$run_state"' EXIT INT TERM
  start "$run_state" >&2
  ZEMA_TEST_PG_URI=$(cat "$run_state/uri") "$@"
}

case "${1:-}" in
  start) [ $# -ge 2 ] || die "usage: $0 start STATE [--durable]"; start "$2" "${3:-}" ;;
  stop) [ $# -eq 2 ] || die "usage: $0 stop STATE"; stop "$2" ;;
  run) shift; [ $# -ge 1 ] || die "usage: $0 run COMMAND..."; run "$@" ;;
  *) die "usage: $0 start STATE [--durable] | stop STATE | run COMMAND..." ;;
esac
