#!/usr/bin/env bash
# READDIRPLUS page by page against quayd, on the wire: quayd prepares a
# listing's next page while the client reads the one before, and a page
# prepared so is the answer the call itself would get. A change by another
# client between two pages (a mode changed, an entry removed) shows on the
# next page; the continuation sent with another caller's credentials on the
# same connection is answered for that caller (ACCES on a 0700 directory);
# a continuation answered ahead is byte for byte the answer a fresh
# connection gets; quayadm stats counts the pages prepared and answered.
set -euo pipefail
quayd="$1"
quayadm="$2"
source "$(dirname "$0")/../support/quayd_e2e.sh" nfs-listing

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; grep -i "nfs\|error" "$log" | tail -n 30 >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
port="$(free_port)"

launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind
adm add-client 1 nfs-host
adm add-subclient 10 1 backups
adm define-store 10 1 store1
adm set-property 10 quaySquashType no_root_squash
adm export create live 10 /store1

python3 - "$port" "$(dirname "$0")/../support" <<'PY' || fail "listing page by page"
import struct, sys, time

sys.path.insert(0, sys.argv[2])
from rpc_wire import Connection, NFS, SUCCESS, auth_sys, opaque

NFS3_OK, NFS3ERR_ACCES = 0, 13
SETATTR, LOOKUP, CREATE, MKDIR, REMOVE, READDIRPLUS = 2, 3, 8, 9, 12, 17
ROOT = auth_sys(0, 0)
FILES = 40
PAGE = 1024  # maxcount: a handful of entries a page
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

for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
PY

# The counters: pages answered ahead, and the pages prepared but dropped (the
# page after each of the two changes, the one continued by another user).
stats="$("$quayadm" --socket "$socket" stats)" || fail "quayadm stats: $stats"
prepared="$(printf '%s\n' "$stats" | sed -n 's/^listing pages prepared ahead\t//p')"
answered="$(printf '%s\n' "$stats" | sed -n 's/^listing pages answered ahead\t//p')"
[ "${answered:-0}" -gt 0 ] || fail "no listing page was answered ahead: $stats"
[ "${prepared:-0}" -ge $((answered + 3)) ] || fail "prepared $prepared, answered $answered: dropped pages counted as answered"
echo "listing e2e: ok ($prepared pages prepared ahead, $answered answered)"
