#!/usr/bin/env bash
# The private PostgreSQL server of the tests: never the system's cluster.
#   pg_server.sh start STATE   initdb into a new folder under /tmp, a server
#                              listening only on a Unix socket in that folder,
#                              on a free port of its own; STATE gets the lines
#                              dir=FOLDER and uri=URI (of database postgres),
#                              or unavailable=REASON when the server binaries
#                              are not installed.
#   pg_server.sh stop STATE    stops that server and removes its folder.
# As root the server runs as the user postgres (Debian's package makes it),
# else as nobody: PostgreSQL refuses to run as root.
set -euo pipefail
action="$1"
state="$2"

server_bin() {
  local dir best=""
  for dir in /usr/lib/postgresql/*/bin; do
    [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ] && best="$dir"
  done
  echo "$best"
}

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u "$owner" -- "$@"; else "$@"; fi
}

case "$action" in
  start)
    bin="$(server_bin)"
    if [ -z "$bin" ]; then
      echo "unavailable=the PostgreSQL server binaries (Debian package postgresql) are not installed" > "$state"
      exit 0
    fi
    owner=postgres
    getent passwd postgres > /dev/null || owner=nobody
    dir="$(mktemp -d /tmp/quay-pg.XXXXXX)"
    [ "$(id -u)" -eq 0 ] && chown "$owner" "$dir"
    port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
    as_owner "$bin/initdb" -D "$dir/data" -U quaytest --auth=trust -E UTF8 --no-sync > "$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; exit 1; }
    # Durability buys nothing in a test server that is thrown away.
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-k $dir -p $port -c listen_addresses='' -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=200" \
      start > /dev/null || { cat "$dir/server.log" >&2; exit 1; }
    printf 'dir=%s\nbin=%s\nowner=%s\nuri=postgresql:///postgres?host=%s&port=%s&user=quaytest\n' \
      "$dir" "$bin" "$owner" "$dir" "$port" > "$state"
    echo "PostgreSQL test server in $dir, port $port"
    ;;
  stop)
    [ -f "$state" ] || exit 0
    dir="$(sed -n 's/^dir=//p' "$state")"
    bin="$(sed -n 's/^bin=//p' "$state")"
    owner="$(sed -n 's/^owner=//p' "$state")"
    if [ -n "$dir" ] && [ -d "$dir/data" ]; then
      as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop > /dev/null 2>&1 || true
    fi
    case "$dir" in /tmp/quay-pg.*) rm -rf "$dir" ;; esac
    rm -f "$state"
    ;;
  *)
    echo "usage: $0 start|stop STATE" >&2
    exit 2
    ;;
esac
