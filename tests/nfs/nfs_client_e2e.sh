#!/usr/bin/env bash
# NFS end to end with a libnfs test program (nfs_probe): every procedure and
# the errors clients see; data acknowledged by COMMIT survives kill -9; a
# handle taken before a restart still works after it; a handle of an
# un-exported share is STALE; garbage on the wire does not hurt quayd.
set -euo pipefail
quayd="$1"
quayadm="$2"
probe="$3"
data="$(mktemp -d)"
pid=""
holder=""
cleanup() {
  if [ -n "$holder" ]; then kill "$holder" 2>/dev/null || true; fi
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$data"
}
trap cleanup EXIT

export QUAY_DATA_DIR="$data"
export QUAY_REGISTRY_FILE="$data/registry.ini"
export QUAY_CLIENT_NAME="nfs-e2e"
printf '[Quay]\n' > "$QUAY_REGISTRY_FILE"
socket="$data/quayd.sock"
log="$data/quayd.log"
starts=0

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; grep -i "nfs\|error" "$log" | tail -n 30 >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port="$(free_port)"
url="nfs://127.0.0.1/store1?nfsport=$port&mountport=$port&version=3"

start_quayd() {
  starts=$((starts + 1))
  # One port for both programs.
  "$quayd" --data-dir "$data" --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind &
  pid=$!
  for _ in $(seq 1 200); do
    [ "$(grep -c "quayd started" "$log" 2>/dev/null || true)" -ge "$starts" ] && break
    kill -0 "$pid" 2>/dev/null || fail "quayd exited at start"
    sleep 0.1
  done
  [ "${1:-}" = "first" ] && return 0
  # The share comes back through the re-export at start.
  for _ in $(seq 1 150); do
    "$quayadm" --socket "$socket" list-exports 2>/dev/null | grep -q "	/store1$" && return 0
    sleep 0.2
  done
  fail "share not exported after start"
}

start_quayd first
adm add-client 1 nfs-host
adm add-subclient 10 1 backups
adm define-store 10 1 store1
adm export create live 10 /store1

# --- every procedure and the usual errors
"$probe" "$url" story || fail "story"

# --- garbage on the wire: the connection closes, quayd serves on
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf '\x80\x00\x00\x10garbagegarbage!!' >&3
printf '\xff\xff\xff\xff' >&3
exec 3>&- 3<&-
"$probe" "$url" check /missing 0 > /dev/null 2>&1 && fail "missing file opened"
kill -0 "$pid" || fail "quayd died on garbage"

# --- COMMIT, then kill -9: the committed data is there after the restart
out="$("$probe" "$url" write /committed.bin 8)" || fail "write: $out"
[ "$out" = "committed" ] || fail "write answered: $out"
kill -9 "$pid"
wait "$pid" 2>/dev/null || true
pid=""
start_quayd
"$probe" "$url" check /committed.bin 8 || fail "committed data lost after kill -9"

# --- a handle from before a restart works after it
mkfifo "$data/in"
"$probe" "$url" hold /committed.bin 0 < "$data/in" > "$data/hold.out" &
holder=$!
exec 4> "$data/in"
for _ in $(seq 1 100); do grep -q "^open$" "$data/hold.out" && break; sleep 0.1; done
grep -q "^open$" "$data/hold.out" || fail "holder did not open"
kill -TERM "$pid"; wait "$pid" || fail "quayd exit status $?"; pid=""
start_quayd
echo go >&4
wait "$holder" || fail "old handle failed after restart: $(cat "$data/hold.out")"
holder=""
exec 4>&-

# --- after un-export, a held handle is STALE
rm -f "$data/in" && mkfifo "$data/in"
"$probe" "$url" hold /committed.bin 116 < "$data/in" > "$data/hold.out" &
holder=$!
exec 4> "$data/in"
for _ in $(seq 1 100); do grep -q "^open$" "$data/hold.out" && break; sleep 0.1; done
grep -q "^open$" "$data/hold.out" || fail "holder did not open"
adm export unexport live 10 /store1
echo go >&4
wait "$holder" || fail "un-exported handle: $(cat "$data/hold.out")"
holder=""
exec 4>&-
kill -0 "$pid" || fail "quayd died"
echo "nfs client story ok"
