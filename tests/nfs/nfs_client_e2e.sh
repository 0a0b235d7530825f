#!/usr/bin/env bash
# NFS end to end with a libnfs test program (nfs_probe): every procedure and
# the errors clients see; unknown procedures, undecodable arguments and
# retransmissions on the wire; data acknowledged by COMMIT, and data written
# FILE_SYNC without any COMMIT, survives kill -9; a handle taken before a
# restart still works after it; the allowed clients, users and groups of a
# share refuse everybody else with ACCES; a handle of an un-exported share is
# STALE; garbage on the wire does not hurt quayd.
set -euo pipefail
quayd="$1"
quayadm="$2"
probe="$3"
holder=""
e2e_cleanup() { if [ -n "$holder" ]; then kill "$holder" 2>/dev/null || true; fi; }
source "$(dirname "$0")/../support/quayd_e2e.sh" nfs-e2e

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; grep -i "nfs\|error" "$log" | tail -n 30 >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
port="$(free_port)"
url="nfs://127.0.0.1/store1?nfsport=$port&mountport=$port&version=3"

start_quayd() {
  # One port for both programs.
  launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind
  [ "${1:-}" = "first" ] && return 0
  wait_export /store1
}

crash_and_restart() {
  kill -9 "$pid"
  wait "$pid" 2>/dev/null || true
  pid=""
  start_quayd
}

# A probe that keeps a file open: READY is the line it prints once it holds
# it; release_holder lets it go on and checks its exit status.
start_holder() {
  local ready="$1"
  shift
  rm -f "$data/in" && mkfifo "$data/in"
  "$probe" "$@" < "$data/in" > "$data/hold.out" &
  holder=$!
  exec 4> "$data/in"
  for _ in $(seq 1 600); do
    grep -q "^$ready$" "$data/hold.out" && return 0
    kill -0 "$holder" 2>/dev/null || break
    sleep 0.1
  done
  fail "holder did not get to [$ready]: $(cat "$data/hold.out")"
}
release_holder() {
  echo go >&4
  wait "$holder" || fail "$1: $(cat "$data/hold.out")"
  holder=""
  exec 4>&-
}

start_quayd first
adm add-client 1 nfs-host
adm add-subclient 10 1 backups
adm define-store 10 1 store1
adm export create live 10 /store1

# --- every procedure and the usual errors
"$probe" "$url" story || fail "story"

# --- the dispatcher on the wire: NULL, unknown procedures (PROC_UNAVAIL),
# arguments that do not decode (GARBAGE_ARGS), and a MKDIR retransmitted on a
# new connection, which gets the first reply instead of running again
python3 - "$port" "$(dirname "$0")/../support" <<'PY' || fail "RPC dispatch"
import struct, sys

sys.path.insert(0, sys.argv[2])
from rpc_wire import Connection, GARBAGE_ARGS, MOUNT, NFS, PROC_UNAVAIL, SUCCESS, opaque

port = int(sys.argv[1])
NFS3_OK, NFS3ERR_EXIST = 0, 17
failures = []


def expect(what, got, want):
    if got != want:
        failures.append(f"{what}: got {got!r}, want {want!r}")


first = Connection(port, failures)
expect("NFS NULL", first.call(1, NFS, 0), (SUCCESS, b""))
expect("MOUNT NULL", first.call(2, MOUNT, 0), (SUCCESS, b""))
expect("NFS procedure 22", first.call(3, NFS, 22)[0], PROC_UNAVAIL)
expect("MOUNT procedure 6", first.call(4, MOUNT, 6)[0], PROC_UNAVAIL)
expect("GETATTR of a cut handle", first.call(5, NFS, 1, struct.pack(">II", 64, 0))[0], GARBAGE_ARGS)
root = first.mount(6, "/store1")
no_attributes = struct.pack(">6I", 0, 0, 0, 0, 0, 0)
mkdir = opaque(root) + opaque(b"retransmitted") + no_attributes
made = first.call(7, NFS, 9, mkdir)
expect("MKDIR", (made[0], struct.unpack(">I", made[1][:4])[0]), (SUCCESS, NFS3_OK))
expect("retransmitted MKDIR", Connection(port, failures).call(7, NFS, 9, mkdir), made)
again = first.call(8, NFS, 9, mkdir)
expect("MKDIR under a new xid", struct.unpack(">I", again[1][:4])[0], NFS3ERR_EXIST)
# Numbers outside a field's values read as numbers and are refused as such.
handle = made[1][12:12 + struct.unpack(">I", made[1][8:12])[0]]
write = opaque(handle) + struct.pack(">QII", 0, 4, 7) + opaque(b"data")
expect("WRITE with stable_how 7", struct.unpack(">I", first.call(9, NFS, 7, write)[1][:4])[0], 22)
create = opaque(root) + opaque(b"bad-mode") + struct.pack(">I", 7)
expect("CREATE with createmode3 7", first.call(10, NFS, 8, create)[0], GARBAGE_ARGS)
for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
PY

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
crash_and_restart
"$probe" "$url" check /committed.bin 8 || fail "committed data lost after kill -9"

# --- FILE_SYNC WRITEs and no COMMIT, then kill -9 while the file is still
# open: the data is there after the restart
start_holder written "$url" syncwrite /synced.bin 3
crash_and_restart
"$probe" "$url" check /synced.bin 3 || fail "FILE_SYNC data lost after kill -9"
release_holder "FILE_SYNC writer"

# --- a handle from before a restart works after it
start_holder open "$url" hold /committed.bin 0
kill -TERM "$pid"; wait "$pid" || fail "quayd exit status $?"; pid=""
start_quayd
release_holder "old handle failed after restart"

# --- allowed clients without this one: MNT answers ACCES, and so does a call
# with a handle taken before
start_holder open "$url" hold /committed.bin 13
adm set-property 10 quayAllowedNFSClients 10.0.0.0/8
adm export update live 10 /store1
"$probe" "$url" mount 13 || fail "mount by a client not allowed"
grep -q "INFO: NFS: mount of \[/store1\] by \[127.0.0.1\] answered \[13\]" "$log" || fail "refused mount not logged"
release_holder "handle of a client no longer allowed"
adm set-property 10 quayAllowedNFSClients '*'
adm export update live 10 /store1

# --- allowed users and groups: a caller in neither list is refused every
# operation with ACCES; one in either list is served
adm set-property 10 quayUsers 4000
adm set-property 10 quayGroups 5000
adm export update live 10 /store1
"$probe" "$url&uid=4242&gid=4242" denied /committed.bin 13 || fail "caller in neither list"
"$probe" "$url&uid=4000&gid=4242" check /committed.bin 1 || fail "allowed user refused"
"$probe" "$url&uid=4242&gid=5000" check /committed.bin 1 || fail "allowed group refused"
adm set-property 10 quayUsers '*'
adm set-property 10 quayGroups '*'
adm export update live 10 /store1
"$probe" "$url&uid=4242&gid=4242" check /committed.bin 1 || fail "caller refused after the lists opened"

# --- after un-export, a held handle is STALE
start_holder open "$url" hold /committed.bin 116
adm export unexport live 10 /store1
release_holder "un-exported handle"
kill -0 "$pid" || fail "quayd died"
echo "nfs client story ok"
