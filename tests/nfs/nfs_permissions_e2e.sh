#!/usr/bin/env bash
# quayd as a POSIX server, end to end through libnfs with several callers
# (nfs_permissions): the permission table per procedure, owners of new
# objects under every squash setting, "." and ".." and link counts, long
# names and link targets. Then connections: a churn of one-call connections
# far beyond the limit is served with none refused, and beyond the limit of
# connections open at once the next one is refused, with one log line;
# --secure-ports refuses connections from unreserved ports.
set -euo pipefail
quayd="$1"
quayadm="$2"
probe="$3"
source "$(dirname "$0")/../support/quayd_e2e.sh" nfs-permissions

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; grep -i "nfs\|error" "$log" | tail -n 30 >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
port="$(free_port)"
url="nfs://127.0.0.1/store1?nfsport=$port&mountport=$port&version=3"
limit=16

launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind --max-connections "$limit"
adm add-client 1 nfs-host
adm add-subclient 10 1 backups
adm define-store 10 1 store1
adm set-property 10 quaySquashType no_root_squash
adm export create live 10 /store1

"$probe" "$url" table || fail "permission table"
"$probe" "$url" entries || fail "directory entries"

# --- names and link targets beyond libnfs's own bounds, on the wire: a
# 4,096-byte target is stored as given, a longer one does not decode; a name
# of up to 4,096 bytes is NAMETOOLONG, a longer one does not decode
python3 - "$port" "$(dirname "$0")/../support" <<'PY' || fail "long names and targets"
import struct, sys

sys.path.insert(0, sys.argv[2])
from rpc_wire import Connection, GARBAGE_ARGS, NFS, SUCCESS, auth_sys, opaque

NFS3_OK, NFS3ERR_NAMETOOLONG = 0, 63
LOOKUP, READLINK, SYMLINK = 3, 5, 10
failures = []
c = Connection(int(sys.argv[1]), failures)
root = auth_sys(0, 0)
share = c.mount(1, "/store1")


def handle_after_status(body):
    length, = struct.unpack(">I", body[4:8])
    return body[8:8 + length]


accept, found = c.call(2, NFS, LOOKUP, opaque(share) + opaque(b"entries"), root)
c.expect("LOOKUP entries", (accept, struct.unpack(">I", found[:4])[0]), (SUCCESS, NFS3_OK))
entries = handle_after_status(found)
no_attributes = struct.pack(">6I", 0, 0, 0, 0, 0, 0)
target = (b"component/" * 410)[:4095] + b"t"
accept, made = c.call(3, NFS, SYMLINK, opaque(entries) + opaque(b"long-link") + no_attributes + opaque(target), root)
c.expect("SYMLINK to 4,096 bytes", (accept, struct.unpack(">I", made[:4])[0]), (SUCCESS, NFS3_OK))
c.expect("SYMLINK returns its handle", struct.unpack(">I", made[4:8])[0], 1)
link = made[12:12 + struct.unpack(">I", made[8:12])[0]]
accept, read = c.call(4, NFS, READLINK, opaque(link), root)
c.expect("READLINK", (accept, struct.unpack(">I", read[:4])[0]), (SUCCESS, NFS3_OK))
skip = 8 + (84 if struct.unpack(">I", read[4:8])[0] else 0)
length, = struct.unpack(">I", read[skip:skip + 4])
c.expect("the target as given", read[skip + 4:skip + 4 + length], target)
accept, _ = c.call(5, NFS, SYMLINK, opaque(entries) + opaque(b"longer") + no_attributes + opaque(target + b"x"), root)
c.expect("SYMLINK to 4,097 bytes", accept, GARBAGE_ARGS)
for size in (256, 4096):
    accept, answer = c.call(6, NFS, LOOKUP, opaque(entries) + opaque(b"n" * size), root)
    c.expect(f"LOOKUP of a {size}-byte name", (accept, struct.unpack(">I", answer[:4])[0]), (SUCCESS, NFS3ERR_NAMETOOLONG))
accept, _ = c.call(7, NFS, LOOKUP, opaque(entries) + opaque(b"n" * 4097), root)
c.expect("LOOKUP of a 4,097-byte name", accept, GARBAGE_ARGS)
for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
PY
for squash in none root all; do
  case "$squash" in
    none) adm set-property 10 quaySquashType no_root_squash ;;
    root) adm set-property 10 quaySquashType root_squash ;;
    all) adm set-property 10 quaySquashType all_squash ;;
  esac
  adm export update live 10 /store1
  "$probe" "$url" owners "$squash" || fail "owners with squash $squash"
done

# --- connections: 1,200 one-call connections in quick succession, with at
# most 16 open at once; then 16 held open and the next ones refused, logged
# at most once a second with a count
python3 - "$port" "$limit" "$log" <<'PY' || fail "connections"
import math, re, socket, struct, sys, time

port, limit, log = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
NULL_CALL = struct.pack(">10I", 1, 0, 2, 100003, 3, 0, 0, 0, 0, 0)
failures = []


def served(sock):
    try:
        sock.sendall(struct.pack(">I", 0x80000000 | len(NULL_CALL)) + NULL_CALL)
        reply = b""
        while len(reply) < 4 + 24:
            chunk = sock.recv(64)
            if not chunk:
                return False
            reply += chunk
        return True
    except OSError:
        return False


def connect():
    return socket.create_connection(("127.0.0.1", port), timeout=30)


answered = 0
for _ in range(1200):
    with connect() as sock:
        answered += served(sock)
if answered != 1200:
    failures.append(f"{1200 - answered} of 1200 one-call connections refused")


def served_soon():
    """A connection served once quayd has seen the last closes."""
    for _ in range(200):
        sock = connect()
        if served(sock):
            return sock
        sock.close()
        time.sleep(0.05)
    failures.append("no connection served")
    return None


held = [served_soon() for _ in range(limit)]
start = time.monotonic()
refused = 0
for _ in range(50):
    with connect() as sock:
        refused += not served(sock)
elapsed = time.monotonic() - start
if refused != 50:
    failures.append(f"{50 - refused} of 50 connections beyond the limit served")
held.pop().close()
if served_soon() is None:
    failures.append("a closed connection's slot did not come free")
for sock in held:
    if sock:
        sock.close()
with open(log, errors="replace") as text:
    lines = re.findall(r"WARN: NFS: connection from \[127.0.0.1\] refused: \[(\d+)\] connections open, "
                       r"the limit; \[(\d+)\] refused since the last such line", text.read())
if not lines or lines[0] != (str(limit), "1"):
    failures.append(f"first refusal line: {lines[:1]}")
if len(lines) > 1 + math.ceil(elapsed) + 1:
    failures.append(f"{len(lines)} refusal lines for 50 refusals in {elapsed:.2f} s")
for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
PY
kill -0 "$pid" || fail "quayd died"

# --- --secure-ports: a connection from an unreserved port is closed unserved;
# one from a reserved port (root can bind one) is served
kill -TERM "$pid"; wait "$pid" || fail "quayd exit status $?"; pid=""
launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind --secure-ports
python3 - "$port" <<'PY' || fail "secure ports"
import os, socket, struct, sys

port = int(sys.argv[1])
NULL_CALL = struct.pack(">10I", 1, 0, 2, 100003, 3, 0, 0, 0, 0, 0)


def served(sock):
    try:
        sock.sendall(struct.pack(">I", 0x80000000 | len(NULL_CALL)) + NULL_CALL)
        return len(sock.recv(64)) > 0
    except OSError:
        return False


failures = []
with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
    if served(sock):
        failures.append("served from unreserved port")
if os.geteuid() == 0:
    for low in range(1023, 600, -1):
        sock = socket.socket()
        try:
            sock.bind(("127.0.0.1", low))
        except OSError:
            sock.close()
            continue
        sock.settimeout(30)
        sock.connect(("127.0.0.1", port))
        if not served(sock):
            failures.append(f"not served from reserved port {low}")
        sock.close()
        break
for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
PY
grep -q "WARN: NFS: connection from \[127.0.0.1\] port \[[0-9]*\] refused: not a reserved port; \[1\] refused since the last such line" "$log" \
  || fail "refusal of an unreserved port not logged"
echo "nfs permissions ok"
