"""ONC RPC calls over TCP, byte by byte, for the end-to-end scripts that
check what libnfs cannot send (undecodable arguments, retransmissions,
strings longer than its own bounds)."""
import socket
import struct

NFS, MOUNT = 100003, 100005
SUCCESS, PROG_MISMATCH, PROC_UNAVAIL, GARBAGE_ARGS = 0, 2, 3, 4


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def auth_sys(uid, gid, groups=()):
    body = struct.pack(">I", 0) + opaque(b"probe") + struct.pack(">II", uid, gid)
    body += struct.pack(">I", len(groups)) + b"".join(struct.pack(">I", g) for g in groups)
    return struct.pack(">I", 1) + opaque(body)


class Connection:
    def __init__(self, port, failures):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.failures = failures

    def expect(self, what, got, want):
        if got != want:
            self.failures.append(f"{what}: got {got!r}, want {want!r}")

    def read(self, size):
        data = b""
        while len(data) < size:
            chunk = self.sock.recv(size - len(data))
            if not chunk:
                raise SystemExit("connection closed by quayd")
            data += chunk
        return data

    def call(self, xid, program, procedure, arguments=b"", credentials=None, version=3):
        """accept_stat and results of one call (version 3 unless given),
        AUTH_NONE unless credentials (auth_sys(...)) are given."""
        credentials = credentials or struct.pack(">II", 0, 0)
        body = struct.pack(">6I", xid, 0, 2, program, version, procedure) + credentials + struct.pack(">II", 0, 0)
        body += arguments
        self.sock.sendall(struct.pack(">I", 0x80000000 | len(body)) + body)
        mark, = struct.unpack(">I", self.read(4))
        reply = self.read(mark & 0x7FFFFFFF)
        _, _, replied, _, verifier = struct.unpack(">5I", reply[:20])
        self.expect(f"xid {xid} accepted", replied, 0)
        accept, = struct.unpack(">I", reply[20 + verifier:24 + verifier])
        return accept, reply[24 + verifier:]

    def mount(self, xid, path):
        """The root handle of a share."""
        accept, mounted = self.call(xid, MOUNT, 1, opaque(path.encode()))
        self.expect("MNT " + path, (accept, struct.unpack(">I", mounted[:4])[0]), (SUCCESS, 0))
        length, = struct.unpack(">I", mounted[4:8])
        return mounted[8:8 + length]
