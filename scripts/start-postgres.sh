#!/usr/bin/env bash
# Starts (once) a private PostgreSQL server on loopback for the database tests and prints the ODBC
# connection string of its empty test database. Needs root; the server runs as the postgres user.
# With --stop it stops the server instead (the tests use it to take the database away under load).
set -euo pipefail
port=${VANTREL_PG_PORT:-55432}
data=${VANTREL_PG_DATA:-/tmp/vantrel-postgres}
bin=/usr/lib/postgresql/$(ls /usr/lib/postgresql | sort -V | tail -1)/bin
as_postgres() { runuser -u postgres -- "$@"; }
if [ "${1:-}" = "--stop" ]; then
  as_postgres "$bin/pg_ctl" -D "$data" -m fast -w stop >/dev/null 2>&1 || true
  exit 0
fi

if ! as_postgres "$bin/pg_ctl" -D "$data" status >/dev/null 2>&1; then
  if [ ! -f "$data/PG_VERSION" ]; then
    rm -rf "$data"
    install -d -o postgres -g postgres "$data"
    as_postgres "$bin/initdb" -D "$data" -A trust -U postgres >/dev/null
  fi
  as_postgres "$bin/pg_ctl" -D "$data" -l "$data/server.log" -w \
    -o "-p $port -k /tmp -c listen_addresses=127.0.0.1" start >/dev/null
fi
psql_postgres() { as_postgres psql -h 127.0.0.1 -p "$port" -U postgres -v ON_ERROR_STOP=1 -qAt "$@"; }
if [ "$(psql_postgres -c "select 1 from pg_database where datname = 'vantrel_test'")" != "1" ]; then
  psql_postgres -c "create database vantrel_test" >/dev/null
fi
echo "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=vantrel_test;Uid=postgres;Pwd=unused"
