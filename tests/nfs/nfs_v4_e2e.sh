#!/usr/bin/env bash
# NFSv4.0 end to end beside NFSv3, with libnfs's NFSv4 client (nfs4_probe)
# and raw calls: every operation family; an OPEN replayed with its seqid gets
# the first reply; ACLs set and read back; two clients locking one range
# (the holder named, release, the lock granted once the holder's lease ran
# out); a share served over NFSv4 alone refuses MOUNT3 and NFSv3 calls; NFS
# versions 3 and 4 on one port, others refused with the range; the grace
# period after a restart. A short lease keeps the waits short.
set -euo pipefail
quayd="$1"
quayadm="$2"
probe="$3"
source "$(dirname "$0")/../support/quayd_e2e.sh" nfs4-e2e

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; grep -i "nfs\|error" "$log" | tail -n 30 >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
port="$(free_port)"
lease=3

start_quayd() {
  launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind --lease-seconds "$lease"
  [ "${1:-}" = "first" ] && return 0
  wait_export /store1
}
# Only reclaims are granted for one lease after a start.
wait_grace() { sleep $((lease + 1)); }

start_quayd first
grep -q "NFSv4 lease \[$lease\] s, grace \[$lease\] s" "$log" || fail "lease not taken from --lease-seconds"
adm add-client 1 nfs4-host
adm add-subclient 10 1 backups
adm define-store 10 1 store1
adm set-property 10 quayACLEnableFlag 1
adm export create live 10 /store1
# A second share for SMB alone: served over NFSv4 only.
adm add-subclient 20 1 smbonly
adm define-store 20 1 store2
adm set-property 20 quaySupportedProtocols smb
adm export create live 20 /store2
wait_grace

"$probe" "$port" families /store1 || fail "operation families"
"$probe" "$port" replay /store1 || fail "replayed OPEN"
"$probe" "$port" acl /store1 || fail "ACL set and read back"
"$probe" "$port" rest /store1 || fail "operations the file API does not send"
"$probe" "$port" locks /store1 "$lease" || fail "two clients locking one range"
grep -q "lease of client \[[0-9]*\] expired" "$log" || fail "expired lease not logged"
"$probe" "$port" v3refused /store2 || fail "v4-only share over NFSv3"

# --- on the wire: versions 3 and 4 on one port and the range for others; an
# NFSv3 call with a v4-only share's handle; over-long and undecodable
# COMPOUNDs; 1 MiB WRITE and READ
python3 - "$port" "$(dirname "$0")/../support" <<'PY' || fail "NFSv4 on the wire"
import struct, sys

sys.path.insert(0, sys.argv[2])
from rpc_wire import Connection, GARBAGE_ARGS, NFS, PROG_MISMATCH, SUCCESS, auth_sys, opaque

port = int(sys.argv[1])
failures = []
c = Connection(port, failures)
OP_GETFH, OP_LOOKUP, OP_PUTROOTFH = 10, 15, 24
NFS4ERR_RESOURCE, NFS4ERR_MINOR_VERS_MISMATCH = 10018, 10021


def compound(ops, minor=0):
    return opaque(b"t") + struct.pack(">II", minor, len(ops)) + b"".join(ops)


c.expect("NFSv4 NULL", c.call(1, NFS, 0, version=4), (SUCCESS, b""))
accept, body = c.call(2, NFS, 0, version=2)
c.expect("NFSv2", (accept, body), (PROG_MISMATCH, struct.pack(">II", 3, 4)))
lookup = compound([struct.pack(">I", OP_PUTROOTFH), struct.pack(">I", OP_LOOKUP) + opaque(b"store2"),
                   struct.pack(">I", OP_GETFH)])
accept, body = c.call(3, NFS, 1, lookup, version=4)
status, = struct.unpack(">I", body[:4])
c.expect("GETFH of /store2", (accept, status), (SUCCESS, 0))
# status, tag, 3 results: PUTROOTFH and LOOKUP (op, status), GETFH (op, status, handle)
at = 4 + 8 + 4 + 8 + 8 + 8
length, = struct.unpack(">I", body[at:at + 4])
handle = body[at + 4:at + 4 + length]
c.expect("handle length", length, 41)
accept, body = c.call(4, NFS, 1, opaque(handle))
c.expect("NFSv3 GETATTR of a v4-only share", (accept, body[:4]), (SUCCESS, struct.pack(">I", 13)))
too_many = compound([struct.pack(">I", OP_PUTROOTFH)] * 129)
accept, body = c.call(5, NFS, 1, too_many, version=4)
c.expect("129 operations", (accept, struct.unpack(">I", body[:4])[0]), (SUCCESS, NFS4ERR_RESOURCE))
c.expect("results of 129 operations", struct.unpack(">I", body[12:16])[0], 1)
accept, body = c.call(6, NFS, 1, compound([struct.pack(">I", OP_PUTROOTFH)], minor=1), version=4)
c.expect("minor version 1", struct.unpack(">I", body[:4])[0], NFS4ERR_MINOR_VERS_MISMATCH)
c.expect("cut COMPOUND", c.call(7, NFS, 1, opaque(b"t") + struct.pack(">II", 0, 5), version=4)[0], GARBAGE_ARGS)
c.expect("NFSv4 after all that", c.call(8, NFS, 0, version=4), (SUCCESS, b""))
# SECINFO (libnfs has no such call) names AUTH_SYS and consumes the filehandle;
# its result follows status, tag, count and two results of 8 bytes.
OP_SECINFO, NFS4ERR_NOFILEHANDLE = 33, 10020
secinfo = compound([struct.pack(">I", OP_PUTROOTFH), struct.pack(">I", OP_LOOKUP) + opaque(b"store1"),
                    struct.pack(">I", OP_SECINFO) + opaque(b"replayed"), struct.pack(">I", OP_GETFH)])
accept, body = c.call(11, NFS, 1, secinfo, version=4)
c.expect("SECINFO then GETFH", struct.unpack(">I", body[:4])[0], NFS4ERR_NOFILEHANDLE)
c.expect("SECINFO flavours", body[32:48], struct.pack(">4I", OP_SECINFO, 0, 1, 1))
# 1 MiB WRITE and READ in one operation each, with the anonymous stateid.
OP_READ, OP_WRITE, FILE_SYNC4 = 25, 38, 2
to_file = [struct.pack(">I", OP_PUTROOTFH), struct.pack(">I", OP_LOOKUP) + opaque(b"store1"),
           struct.pack(">I", OP_LOOKUP) + opaque(b"replayed")]
anonymous = bytes(16)
data = bytes((i * 131 + i // 4093) & 0xFF for i in range(1 << 20))
write = struct.pack(">I", OP_WRITE) + anonymous + struct.pack(">QI", 0, FILE_SYNC4) + opaque(data)
accept, body = c.call(9, NFS, 1, compound(to_file + [write]), version=4)
c.expect("1 MiB WRITE", (accept, struct.unpack(">I", body[:4])[0]), (SUCCESS, 0))
c.expect("1 MiB written", struct.unpack(">I", body[-16:-12])[0], 1 << 20)  # count, committed, verifier
read = struct.pack(">I", OP_READ) + anonymous + struct.pack(">QI", 0, 1 << 20)
accept, body = c.call(10, NFS, 1, compound(to_file + [read]), version=4)
c.expect("1 MiB READ", (accept, struct.unpack(">I", body[:4])[0]), (SUCCESS, 0))
c.expect("1 MiB read back", body[-(1 << 20):] == data and struct.unpack(">I", body[-(1 << 20) - 4:-(1 << 20)])[0], 1 << 20)
# A REMOVE retransmitted on a new connection gets the first reply; the
# same REMOVE under a new xid finds nothing.
OP_CREATE, OP_REMOVE, NF4DIR, NFS4ERR_NOENT = 6, 28, 2, 2
root = auth_sys(0, 0)
in_store = [struct.pack(">I", OP_PUTROOTFH), struct.pack(">I", OP_LOOKUP) + opaque(b"store1")]
mkdir = struct.pack(">II", OP_CREATE, NF4DIR) + opaque(b"retransmitted") + struct.pack(">II", 0, 0)
accept, body = c.call(12, NFS, 1, compound(in_store + [mkdir]), root, version=4)
c.expect("CREATE of a directory", (accept, struct.unpack(">I", body[:4])[0]), (SUCCESS, 0))
remove = compound(in_store + [struct.pack(">I", OP_REMOVE) + opaque(b"retransmitted")])
first = c.call(13, NFS, 1, remove, root, version=4)
c.expect("REMOVE", struct.unpack(">I", first[1][:4])[0], 0)
c.expect("REMOVE retransmitted", Connection(port, failures).call(13, NFS, 1, remove, root, version=4), first)
c.expect("REMOVE again", struct.unpack(">I", c.call(14, NFS, 1, remove, root, version=4)[1][:4])[0], NFS4ERR_NOENT)
for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
PY

# --- a restart: a grace period in which only reclaims are granted
kill -TERM "$pid"; wait "$pid" || fail "quayd exit status $?"; pid=""
start_quayd
"$probe" "$port" grace /store1 || fail "grace period after a restart"
wait_grace
"$probe" "$port" families /store1 || fail "operation families after the grace period"
kill -0 "$pid" || fail "quayd died"
echo "nfs4 end to end ok"
