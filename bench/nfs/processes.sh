# Starting and stopping the servers of the NFS benchmarks (sourced).

# wait_listening PORT PID: until the server listens on PORT (listeners come up
# a little after the process starts); false when it is gone or never listens.
wait_listening() {
  for _ in $(seq 1 100); do
    ss -ltn "sport = :$1" | grep -q LISTEN && return 0
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  echo "nfs_bench: no server on port $1" >&2
  return 1
}

# stop_process PID: stops a process this script started (none when PID is empty).
stop_process() {
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
