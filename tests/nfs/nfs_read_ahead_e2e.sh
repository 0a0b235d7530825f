#!/usr/bin/env bash
# Work quayd does ahead of a call, on the wire: the next page of a
# READDIRPLUS listing and the next piece of a file read in order, prepared
# while the client takes in the reply before, are the answers the calls
# themselves would get. A change by another client in between (a mode
# changed, an entry removed; new bytes written, the file cut short) shows in
# the next answer; the next call sent with another caller's credentials on
# the same connection is answered for that caller (ACCES on a 0700
# directory, a 0600 file); an answer given ahead is byte for byte the answer
# a fresh connection gets; quayadm stats counts what was prepared and used.
set -euo pipefail
quayd="$1"
quayadm="$2"
source "$(dirname "$0")/../support/quayd_e2e.sh" nfs-read-ahead

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; grep -i "nfs\|error" "$log" | tail -n 30 >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
port="$(free_port)"

launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind
adm add-client 1 nfs-host
adm add-subclient 10 1 backups
adm define-store 10 1 store1
adm set-property 10 quaySquashType no_root_squash
adm export create live 10 /store1

python3 - "$port" "$(dirname "$0")/../support" <<'PY' || fail "listing and reading ahead"
import struct, sys, time

sys.path.insert(0, sys.argv[2])
from rpc_wire import Connection, NFS, SUCCESS, auth_sys, opaque

NFS3_OK, NFS3ERR_ACCES = 0, 13
SETATTR, LOOKUP, READ, WRITE, CREATE, MKDIR, REMOVE, READDIRPLUS = 2, 3, 6, 7, 8, 9, 12, 17
FILE_SYNC = 2
ROOT = auth_sys(0, 0)
FILES = 40
PAGE = 1024  # maxcount: a handful of entries a page
PIECE = 8192  # READ count
PIECES = 6
port = int(sys.argv[1])
failures = []
xid = 100


def call(conn, procedure, arguments, credentials=ROOT):
    global xid
    xid += 1
    accept, body = conn.call(xid, NFS, procedure, arguments, credentials)
    conn.expect(f"procedure {procedure} accepted", accept, SUCCESS)
    return struct.unpack(">I", body[:4])[0], body


def attributes(mode):
    # sattr3: the mode only.
    return struct.pack(">II", 1, mode) + struct.pack(">5I", 0, 0, 0, 0, 0)


def new_handle(body):
    # CREATE3resok and MKDIR3resok begin with a post_op_fh3.
    length, = struct.unpack(">I", body[8:12])
    return body[12:12 + length]


def make(conn, parent, name, mode, directory=False):
    how = b"" if directory else struct.pack(">I", 0)  # UNCHECKED
    status, body = call(conn, MKDIR if directory else CREATE, opaque(parent) + opaque(name) + how + attributes(mode))
    conn.expect(f"make {name!r}", status, NFS3_OK)
    return new_handle(body)


def readdirplus(conn, directory, cookie, verifier, credentials=ROOT):
    arguments = opaque(directory) + struct.pack(">Q", cookie) + verifier + struct.pack(">II", PAGE, PAGE)
    return call(conn, READDIRPLUS, arguments, credentials)


def entries(body):
    """(name, cookie, mode) of a READDIRPLUS3resok, its verifier and eof."""
    at = 4 + 4 + 84  # status, directory attributes
    verifier = body[at:at + 8]
    at += 8
    listed = []
    while struct.unpack(">I", body[at:at + 4])[0]:
        at += 4 + 8
        length, = struct.unpack(">I", body[at:at + 4])
        name = body[at + 4:at + 4 + length]
        at += 4 + length + (-length % 4)
        cookie, = struct.unpack(">Q", body[at:at + 8])
        at += 8
        mode = None
        if struct.unpack(">I", body[at:at + 4])[0]:
            mode = struct.unpack(">I", body[at + 8:at + 12])[0] & 0o7777
            at += 84
        at += 4
        if struct.unpack(">I", body[at:at + 4])[0]:
            length, = struct.unpack(">I", body[at + 4:at + 8])
            at += 4 + length + (-length % 4)
        at += 4
        listed.append((name, cookie, mode))
    eof, = struct.unpack(">I", body[at + 4:at + 8])
    return listed, verifier, eof


def page(conn, directory, cookie, verifier, what, credentials=ROOT):
    status, body = readdirplus(conn, directory, cookie, verifier, credentials)
    conn.expect(what, status, NFS3_OK)
    return entries(body) if status == NFS3_OK else ([], verifier, 1)


def write(conn, handle, offset, data):
    arguments = opaque(handle) + struct.pack(">QII", offset, len(data), FILE_SYNC) + opaque(data)
    status, _ = call(conn, WRITE, arguments)
    conn.expect(f"WRITE at {offset}", status, NFS3_OK)


def cut(conn, handle, size):
    # sattr3 with the size only, no guard.
    sattr = struct.pack(">IIII", 0, 0, 0, 1) + struct.pack(">Q", size) + struct.pack(">II", 0, 0)
    status, _ = call(conn, SETATTR, opaque(handle) + sattr + struct.pack(">I", 0))
    conn.expect("SETATTR size", status, NFS3_OK)


def read(conn, handle, index, credentials=ROOT):
    """Status, data and eof of the READ of piece index."""
    status, body = call(conn, READ, opaque(handle) + struct.pack(">QI", index * PIECE, PIECE), credentials)
    if status != NFS3_OK:
        return status, b"", None
    at = 8 + 84 if struct.unpack(">I", body[4:8])[0] else 8  # status, post_op_attr
    count, eof, length = struct.unpack(">III", body[at:at + 12])
    conn.expect("count and data length agree", count, length)
    return status, body[at + 12:at + 12 + length], eof


def piece(seed):
    return bytes((seed * 31 + i) % 251 for i in range(PIECE))


lister = Connection(port, failures)
other = Connection(port, failures)
share = lister.mount(1, "/store1")
listing = make(lister, share, b"listing", 0o755, directory=True)
shut = make(lister, share, b"shut", 0o700, directory=True)
for i in range(FILES):
    make(lister, listing, b"f%02d" % i, 0o644)
    make(lister, shut, b"s%02d" % i, 0o644)

first, verifier, eof = page(lister, listing, 0, b"\0" * 8, "first page")
lister.expect("the first page leaves more", (eof, len(first) > 1), (0, True))
whole, cookie, finished = list(first), first[-1][1], eof
while not finished:
    more, _, finished = page(lister, listing, cookie, verifier, "a later page")
    whole += more
    cookie = more[-1][1] if more else cookie
lister.expect("every file listed once", sorted(n for n, _, _ in whole if n not in (b".", b"..")),
              [b"f%02d" % i for i in range(FILES)])

# A mode changed and an entry removed by another client between two pages.
second_first = whole[len(first)]
second_next = whole[len(first) + 1]
page(lister, listing, 0, verifier, "page one again")
time.sleep(0.2)  # the next page is prepared by now
status, found = call(other, LOOKUP, opaque(listing) + opaque(second_first[0]))
other.expect("LOOKUP", status, NFS3_OK)
changed = found[8:8 + struct.unpack(">I", found[4:8])[0]]
status, _ = call(other, SETATTR, opaque(changed) + attributes(0o600) + struct.pack(">I", 0))
other.expect("SETATTR", status, NFS3_OK)
second, _, _ = page(lister, listing, first[-1][1], verifier, "page two after a SETATTR")
lister.expect("the changed mode on page two", [m for n, _, m in second if n == second_first[0]], [0o600])

page(lister, listing, 0, verifier, "page one once more")
time.sleep(0.2)
status, _ = call(other, REMOVE, opaque(listing) + opaque(second_next[0]))
other.expect("REMOVE", status, NFS3_OK)
second, _, _ = page(lister, listing, first[-1][1], verifier, "page two after a REMOVE")
lister.expect("the removed entry is gone from page two", [n for n, _, _ in second if n == second_next[0]], [])

# The continuation from another caller on the same connection.
shut_first, shut_verifier, _ = page(lister, shut, 0, b"\0" * 8, "root lists the 0700 directory")
time.sleep(0.2)
status, _ = readdirplus(lister, shut, shut_first[-1][1], shut_verifier, auth_sys(1000, 1000))
lister.expect("another user continues root's listing of a 0700 directory", status, NFS3ERR_ACCES)

# A page answered ahead is the answer a fresh connection gets.
page(lister, listing, 0, verifier, "page one for the comparison")
time.sleep(0.2)
arguments = opaque(listing) + struct.pack(">Q", first[-1][1]) + verifier + struct.pack(">II", PAGE, PAGE)
_, ahead = lister.call(900, NFS, READDIRPLUS, arguments, ROOT)
_, fresh = Connection(port, failures).call(901, NFS, READDIRPLUS, arguments, ROOT)
lister.expect("page two answered ahead equals a fresh answer", ahead, fresh)

# Reading piece by piece.
reader = lister
data = make(reader, share, b"data", 0o644)
shut_file = make(reader, share, b"shut-file", 0o600)
content = b"".join(piece(i) for i in range(PIECES))
write(reader, data, 0, content)
write(reader, shut_file, 0, content)

# The whole file, piece by piece, with time between for each next piece.
whole = b""
for index in range(PIECES):
    status, got, eof = read(reader, data, index)
    reader.expect(f"piece {index}", status, NFS3_OK)
    whole += got
    time.sleep(0.05)
reader.expect("the whole file read back", whole == content, True)
reader.expect("the last piece ends the file", eof, 1)

# New bytes written by another client between two pieces.
read(reader, data, 0)
time.sleep(0.2)  # the next piece is prepared by now
write(other, data, PIECE, piece(99))
status, got, _ = read(reader, data, 1)
reader.expect("piece 1 after another client's WRITE holds its bytes", got == piece(99), True)

# The file cut short by another client between two pieces.
read(reader, data, 0)
time.sleep(0.2)
cut(other, data, PIECE + 100)
status, got, eof = read(reader, data, 1)
reader.expect("piece 1 after the file was cut short", (status, len(got), eof), (NFS3_OK, 100, 1))

# The next piece from another caller on the same connection.
status, _, _ = read(reader, shut_file, 0)
reader.expect("root reads the 0600 file", status, NFS3_OK)
time.sleep(0.2)
status, _, _ = read(reader, shut_file, 1, auth_sys(1000, 1000))
reader.expect("another user goes on with root's reading of a 0600 file", status, NFS3ERR_ACCES)

# A piece answered ahead is the answer a fresh connection gets.
read(reader, shut_file, 0)
time.sleep(0.2)
arguments = opaque(shut_file) + struct.pack(">QI", PIECE, PIECE)
_, ahead = reader.call(902, NFS, READ, arguments, ROOT)
_, fresh = Connection(port, failures).call(903, NFS, READ, arguments, ROOT)
reader.expect("piece 1 answered ahead equals a fresh answer", ahead, fresh)

for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
PY

# The counters: answers given ahead, and those prepared but dropped (after
# each of the two changes, the one asked for by another user).
stats="$("$quayadm" --socket "$socket" stats)" || fail "quayadm stats: $stats"
for kind in "listing pages" reads; do
  prepared="$(printf '%s\n' "$stats" | sed -n "s/^$kind prepared ahead\t//p")"
  answered="$(printf '%s\n' "$stats" | sed -n "s/^$kind answered ahead\t//p")"
  [ "${answered:-0}" -gt 0 ] || fail "no $kind answered ahead: $stats"
  [ "${prepared:-0}" -ge $((answered + 3)) ] || fail "$kind: prepared $prepared, answered $answered: dropped ones counted"
  echo "$kind: $prepared prepared ahead, $answered answered"
done
echo "read-ahead e2e: ok"
