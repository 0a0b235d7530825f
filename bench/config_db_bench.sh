#!/usr/bin/env bash
# Configuration database benchmark, not a test: the same quayd work on the
# SQLite file and on PostgreSQL (a private server in a temporary folder,
# Unix socket, as the tests start it), in one run on one machine:
#  - export create, update, statistics and un-export of one store through
#    the admin socket, ROUNDS times each: median and 95th percentile;
#  - on PostgreSQL also the same through the request queue of the database
#    (quayadm --server), as from another server;
#  - the re-export of STORES stores at start: from quayd's launch until it
#    lists them all.
#   bench/config_db_bench.sh BUILD_DIR [ROUNDS] [STORES]   (default 200, 1000)
set -euo pipefail
build="$(cd "${1:?usage: config_db_bench.sh BUILD_DIR [ROUNDS] [STORES]}" && pwd)"
rounds="${2:-200}"
stores="${3:-1000}"
here="$(cd "$(dirname "$0")" && pwd)"
client="$build/bin/config_db_bench"
top="$(mktemp -d "${TMPDIR:-/var/tmp}/configbench.XXXXXX")"
pg_state="$top/pg.state"
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  "$here/../tests/support/pg_server.sh" stop "$pg_state" || true
  rm -rf "$top"
}
trap cleanup EXIT

"$here/../tests/support/pg_server.sh" start "$pg_state" > /dev/null
if grep -q '^unavailable=' "$pg_state"; then
  echo "PostgreSQL not available: $(sed -n 's/^unavailable=//p' "$pg_state")" >&2
  exit 1
fi
pg_uri="$(sed -n 's/^uri=//p' "$pg_state")"
pg_bin="$(sed -n 's/^bin=//p' "$pg_state")"
"$pg_bin/psql" -qAtX "$pg_uri" -c "CREATE DATABASE quaybench" > /dev/null
pg_db="${pg_uri/\/postgres\?/\/quaybench?}"
# The test server runs with fsync off; a real one would not.
echo "PostgreSQL: $("$pg_bin/postgres" --version) (test settings: fsync, synchronous_commit off)"
echo "SQLite: $(sqlite3 --version 2>/dev/null | cut -d' ' -f1 || echo libsqlite3)"

# launch DIR: quayd on DIR with the environment's QUAY_CONFIG_DB; waits until it answers.
launch() {
  local dir="$1"
  "$build/bin/quayd" --data-dir "$dir" --log-level -1 --nfs-port 0 &
  pid=$!
  for _ in $(seq 1 200); do
    "$client" socket "$dir/quayd.sock" count > /dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "quayd did not start" >&2
  exit 1
}
stop() { kill -TERM "$pid"; wait "$pid" || true; pid=""; }

run() {
  local backend="$1" dir="$top/$1"
  mkdir -p "$dir"
  printf '[Quay]\n' > "$dir/registry.ini"
  export QUAY_DATA_DIR="$dir" QUAY_REGISTRY_FILE="$dir/registry.ini" QUAY_CLIENT_NAME="bench-$backend"
  echo "== $backend"
  launch "$dir"
  "$client" socket "$dir/quayd.sock" define 10 1 > /dev/null
  "$client" socket "$dir/quayd.sock" latency 10 b10 "$rounds"
  if [ "$backend" = postgresql ]; then
    echo "-- the same through the request queue (quayadm --server bench-$backend)"
    "$client" queue "$QUAY_CONFIG_DB" "bench-$backend" latency 10 b10 "$rounds"
  fi
  "$client" socket "$dir/quayd.sock" define 1000 "$stores"
  stop
  local start end count
  start=$(date +%s%N)
  launch "$dir"
  for _ in $(seq 1 6000); do
    count="$("$client" socket "$dir/quayd.sock" count)"
    [ "$count" -gt "$stores" ] && break  # and b10
    sleep 0.02
  done
  end=$(date +%s%N)
  printf 'reexport   %s stores at start: %d ms (launch until all listed)\n' "$count" $(( (end - start) / 1000000 ))
  stop
}

unset QUAY_CONFIG_DB
run sqlite
export QUAY_CONFIG_DB="$pg_db"
run postgresql
