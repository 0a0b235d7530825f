#!/usr/bin/env bash
# Starts quayd on a fresh data directory, checks it logs its start, stops it
# with SIGTERM and checks it unloads the module and exits 0.
set -euo pipefail
quayd="$1"
data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT
printf '[Quay]\nnSyncInterval=5\n' > "$data/registry.ini"

QUAY_REGISTRY_FILE="$data/registry.ini" "$quayd" --data-dir "$data" &
pid=$!
for _ in $(seq 1 100); do
  grep -q "quayd started" "$data/quayd.log" 2>/dev/null && break
  sleep 0.1
done
grep -q "INFO: quayd started: module \[BackupFSM\] type \[4\]" "$data/quayd.log"
test -f "$data/config.db"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
test "$status" -eq 0
grep -q "INFO: quayd stopping on signal \[15\]" "$data/quayd.log"
grep -q "INFO: quayd stopped" "$data/quayd.log"
echo "quayd start/stop ok"
