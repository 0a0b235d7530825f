# Sourced by the end-to-end scripts that run quayd: a fresh data directory,
# removed on exit together with the quayd started from it, quayd's
# environment, and starting quayd and waiting until it is up.
#   quayd=... ; source quayd_e2e.sh CLIENT_NAME [REGISTRY_LINES]
# The script defines fail MESSAGE before it starts quayd, and may define
# e2e_cleanup for what else it leaves behind (or name helper processes with
# kill_on_exit PID).
data="$(mktemp -d)"
pid=""
socket="$data/quayd.sock"
log="$data/quayd.log"
starts=0

# kill_on_exit PID: a helper process of the script, ended on exit as well.
helpers=()
kill_on_exit() { helpers+=("$1"); }

cleanup() {
  if declare -F e2e_cleanup > /dev/null; then e2e_cleanup; fi
  for helper in "${helpers[@]}"; do kill "$helper" 2>/dev/null || true; done
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$data"
}
trap cleanup EXIT

export QUAY_DATA_DIR="$data"
export QUAY_REGISTRY_FILE="$data/registry.ini"
export QUAY_CLIENT_NAME="$1"
printf '[Quay]\n%s' "${2:-}" > "$QUAY_REGISTRY_FILE"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# launch_quayd ARGS...: starts quayd on the data directory with ARGS and
# waits for its "quayd started" line (one more than before: restarts append
# to the same log).
launch_quayd() {
  starts=$((starts + 1))
  "$quayd" --data-dir "$data" "$@" &
  pid=$!
  for _ in $(seq 1 200); do
    local started=0
    started="$(grep -c "quayd started" "$log" 2>/dev/null)" || true  # no log yet: none
    [ "${started:-0}" -ge "$starts" ] && return 0
    kill -0 "$pid" 2>/dev/null || fail "quayd exited at start"
    sleep 0.1
  done
  fail "quayd did not start"
}

# wait_export PATH: waits until quayd lists the export (a share comes back
# through the re-export at start).
wait_export() {
  for _ in $(seq 1 150); do
    "$quayadm" --socket "$socket" list-exports 2>/dev/null | grep -q "	$1$" && return 0
    sleep 0.2
  done
  fail "share $1 not exported after start"
}
