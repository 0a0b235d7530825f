# quayd for bench/nfs_bench.sh (sourced): one store and live export per
# share, on a fresh data directory and free loopback ports, without an NFSv4
# grace period (like Ganesha's Graceless: no client holds state from before).
# QUAYD_EXTRA_OPTIONS, when set, is added to quayd's command line.
# Uses: build, nfs_version, free_port,
# wait_listening, stop_process (from the caller).
quayd_pid=""
quayd_port=""

# quayd_start DATA_DIR SHARE...
quayd_start() {
  local data="$1"; shift
  mkdir -p "$data"
  export QUAY_DATA_DIR="$data" QUAY_REGISTRY_FILE="$data/registry.ini" QUAY_CLIENT_NAME=nfs-bench
  printf '[Quay]\n' > "$QUAY_REGISTRY_FILE"
  quayd_port="$(free_port)"
  "$build/bin/quayd" --data-dir "$data" --log-level -1 --nfs-port "$quayd_port" --mount-port "$quayd_port" \
    --no-rpcbind --grace-seconds 0 ${QUAYD_EXTRA_OPTIONS:-} &
  quayd_pid=$!
  wait_listening "$quayd_port" "$quayd_pid" || return 1
  for _ in $(seq 1 100); do [ -S "$data/quayd.sock" ] && break; sleep 0.1; done
  quayd_adm "$data" add-client 1 bench
  local subclient=10 share
  for share in "$@"; do
    quayd_adm "$data" define-store "$subclient" 1 "$share"
    quayd_adm "$data" export create live "$subclient" "/$share"
    subclient=$((subclient + 1))
  done
}

quayd_adm() {
  local data="$1"; shift
  "$build/bin/quayadm" --socket "$data/quayd.sock" "$@" > /dev/null
}

# quayd_target SHARE: prints the share's URL and the directory the workloads use in it.
quayd_target() {
  echo "nfs://127.0.0.1/$1?nfsport=$quayd_port&mountport=$quayd_port&version=$nfs_version" ""
}

quayd_stop() {
  stop_process "$quayd_pid"
  quayd_pid=""
}
