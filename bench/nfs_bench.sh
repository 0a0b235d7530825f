#!/usr/bin/env bash
# NFS benchmark, not a test: quayd on a fresh data directory and free
# loopback ports, measured with the libnfs client (nfs_bench), and beside it,
# in the same run on the same disk, plain write+fsync and a loopback TCP
# stream. When Debian's nfs-ganesha and nfs-ganesha-vfs are installed and
# rpcbind runs, the same client then measures NFS-Ganesha's VFS export of a
# folder on the same disk, in the same run. Run several times; quote medians.
#   bench/nfs_bench.sh BUILD_DIR [MiB]      (default 512)
set -euo pipefail
build="${1:?usage: nfs_bench.sh BUILD_DIR [MiB]}"
mib="${2:-512}"
data="$(mktemp -d "${TMPDIR:-/var/tmp}/nfsbench.XXXXXX")"
pid=""
ganesha_pid=""
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  if [ -n "$ganesha_pid" ]; then kill -TERM "$ganesha_pid" 2>/dev/null || true; sleep 1; fi
  rm -rf "$data"
}
trap cleanup EXIT
export QUAY_DATA_DIR="$data" QUAY_REGISTRY_FILE="$data/registry.ini" QUAY_CLIENT_NAME=nfs-bench
printf '[Quay]\n' > "$QUAY_REGISTRY_FILE"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port="$(free_port)"
"$build/bin/quayd" --data-dir "$data" --log-level -1 --nfs-port "$port" --mount-port "$port" --no-rpcbind &
pid=$!
for _ in $(seq 1 100); do [ -S "$data/quayd.sock" ] && break; sleep 0.1; done
adm() { "$build/bin/quayadm" --socket "$data/quayd.sock" "$@" > /dev/null; }
adm add-client 1 bench; adm add-subclient 10 1 bench; adm define-store 10 1 bench
adm export create live 10 /bench

echo "== plain write+fsync of $mib MiB in 1 MiB writes ($data)"
start=$(date +%s.%N)
dd if=/dev/zero of="$data/plain.bin" bs=1M count="$mib" conv=fsync status=none
plain=$(echo "$mib / ($(date +%s.%N) - $start)" | bc -l)
rm -f "$data/plain.bin"
printf 'plain_write_fsync %.1f MiB/s\n' "$plain"

echo "== loopback TCP stream of $mib MiB"
stream=$(python3 - "$mib" <<'PY'
import socket, sys, threading, time
mib = int(sys.argv[1]); chunk = b"x" * (1 << 20)
server = socket.socket(); server.bind(("127.0.0.1", 0)); server.listen(1)
def sink():
    conn, _ = server.accept()
    while conn.recv(1 << 20): pass
t = threading.Thread(target=sink); t.start()
client = socket.create_connection(server.getsockname())
start = time.time()
for _ in range(mib): client.sendall(chunk)
client.close(); t.join()
print("%.1f" % (mib / (time.time() - start)))
PY
)
printf 'loopback_stream %.1f MiB/s\n' "$stream"

echo "== NFS through quayd"
out="$("$build/bin/nfs_bench" "nfs://127.0.0.1/bench?nfsport=$port&mountport=$port&version=3" "$mib")"
echo "$out"
write=$(echo "$out" | awk '$1 == "nfs_write_commit" { print $2 }')
read=$(echo "$out" | awk '$1 == "nfs_read" { print $2 }')
printf 'ratio write/plain %.2f (target >= 0.6), read/stream %.2f (target >= 0.8)\n' \
  "$(echo "$write / $plain" | bc -l)" "$(echo "$read / $stream" | bc -l)"
echo "targets: 1,000 files < 0.65 s, stat < 190 us, listing 1,000 < 3 ms"

if ! command -v ganesha.nfsd > /dev/null || ! pgrep -x rpcbind > /dev/null; then
  echo "== NFS-Ganesha: not measured (needs nfs-ganesha, nfs-ganesha-vfs and a running rpcbind)"
  exit 0
fi
echo "== NFS-Ganesha VFS export on the same disk, same client"
mkdir -p "$data/ganesha/export"
gport="$(free_port)"; gmount="$(free_port)"
cat > "$data/ganesha/ganesha.conf" <<EOF
NFS_CORE_PARAM {
  NFS_Port = $gport; MNT_Port = $gmount; Bind_addr = 127.0.0.1; Protocols = 3;
  Enable_NLM = false; Enable_RQUOTA = false; Enable_UDP = false;
}
NFS_KRB5 { Active_krb5 = false; }
EXPORT {
  Export_Id = 1; Path = $data/ganesha/export; Pseudo = /bench; Access_Type = RW;
  Squash = No_Root_Squash; Protocols = 3; Transports = TCP; SecType = sys;
  FSAL { Name = VFS; }
}
EOF
ganesha.nfsd -f "$data/ganesha/ganesha.conf" -L "$data/ganesha/ganesha.log" -N NIV_WARN -p "$data/ganesha/pid"
for _ in $(seq 1 50); do [ -s "$data/ganesha/pid" ] && break; sleep 0.1; done
ganesha_pid="$(cat "$data/ganesha/pid")"
sleep 2  # its listeners come up after the pid file
"$build/bin/nfs_bench" "nfs://127.0.0.1$data/ganesha/export?nfsport=$gport&mountport=$gmount&version=3" "$mib"
