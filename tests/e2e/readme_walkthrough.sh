#!/usr/bin/env bash
# The README's walk-through of managing shares, command by command as it is
# written there, works on a fresh data directory and right after scripts/run
# (beside its demo share); scripts/run prints the URL with the ports it was
# given and stops with a clear error when it cannot listen.
set -euo pipefail
quayd="$1"
quayadm_bin="$2"
root="$(cd "$(dirname "$0")/../.." && pwd)"
run_pid=""
e2e_cleanup() { if [ -n "$run_pid" ]; then kill -TERM "$run_pid" 2>/dev/null || true; wait "$run_pid" 2>/dev/null || true; fi; }
source "$(dirname "$0")/../support/quayd_e2e.sh" e2e-readme

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; tail -n 30 "$log" >&2 || true; exit 1; }
# The README calls it quayadm and lets it find the socket through QUAY_DATA_DIR.
quayadm() { "$quayadm_bin" "$@"; }

# The quayadm lines of the README's "Managing shares" code blocks, comments cut.
commands="$(awk '/^## Managing shares/ { on = 1; next } /^## / { on = 0 } on && /^```/ { block = !block; next }
                 on && block && /^quayadm / { print }' "$root/README.md" | sed 's/[[:space:]]\{2,\}#.*$//')"
[ "$(printf '%s\n' "$commands" | wc -l)" -ge 12 ] || fail "walk-through not found in README.md: $commands"

walk_through() {
  local line
  while IFS= read -r line; do
    eval "$line" > "$data/step.out" 2>&1 || fail "README step [$line] failed: $(cat "$data/step.out")"
  done <<< "$commands"
}

# --- on a fresh data directory
launch_quayd --nfs-port 0
walk_through
kill -TERM "$pid"; wait "$pid" || fail "quayd exited with $?"; pid=""

# --- right after scripts/run, on free ports, in a fresh data directory
rm -rf "${data:?}"/*
nfs_port="$(free_port)"
mount_port="$(free_port)"
QUAY_BIN_DIR="$(dirname "$quayd")" "$root/scripts/run" --nfs-port "$nfs_port" --mount-port "$mount_port" \
  > "$data/run.out" 2>&1 &
run_pid=$!
for _ in $(seq 1 300); do
  grep -q "^quayd: NFS share /demo: " "$data/run.out" && break
  kill -0 "$run_pid" 2>/dev/null || fail "scripts/run stopped: $(cat "$data/run.out")"
  sleep 0.1
done
grep -qx "quayd: NFS share /demo: nfs://127.0.0.1/demo?nfsport=$nfs_port&mountport=$mount_port&version=3" \
  "$data/run.out" || fail "scripts/run printed: $(cat "$data/run.out")"
! grep -q "failed\|not exported" "$data/run.out" || fail "demo setup: $(cat "$data/run.out")"
walk_through
quayadm list-exports | grep -q "	/demo$" || fail "the demo share is gone"
kill -TERM "$run_pid"
status=0
wait "$run_pid" || status=$?
run_pid=""
[ "$status" -eq 0 ] || fail "scripts/run exited with $status: $(cat "$data/run.out")"

# --- scripts/run on a port that is taken: a clear error and a failure status
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(); print(s.getsockname()[1], flush=True); time.sleep(300)' \
  > "$data/taken" &
kill_on_exit $!
for _ in $(seq 1 50); do [ -s "$data/taken" ] && break; sleep 0.1; done
taken="$(cat "$data/taken")"
status=0
out="$(QUAY_BIN_DIR="$(dirname "$quayd")" "$root/scripts/run" --nfs-port "$taken" --mount-port "$taken" 2>&1)" ||
  status=$?
[ "$status" -eq 1 ] || fail "scripts/run on a taken port exited with $status: $out"
echo "$out" | grep -q "^quayd: cannot serve NFS: cannot listen on 127.0.0.1:$taken: Address already in use$" ||
  fail "no clear error: $out"
echo "$out" | grep -q "^scripts/run: quayd stopped with status 1 before it was up" || fail "scripts/run said: $out"
! echo "$out" | grep -q "NFS share /demo" || fail "a URL was printed: $out"
echo "README walk-through ok"
