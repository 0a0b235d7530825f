#!/usr/bin/env python3
"""MOUNT3 MNT calls on one connection, as a client that sends any bytes it
likes would make them:  mount_calls.py PORT COUNT PATH
PATH may hold escapes (\\n, \\x1b, ...), decoded before sending. Prints the
status of the last reply; exit status 1 when quayd closes the connection."""
import socket
import struct
import sys

port, count, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3].encode().decode("unicode_escape").encode("latin-1")
MOUNT, MNT = 100005, 1


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


sock = socket.create_connection(("127.0.0.1", port), timeout=60)


def read(size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            sys.exit("connection closed by quayd")
        data += chunk
    return data


status = None
for xid in range(1, count + 1):
    body = struct.pack(">10I", xid, 0, 2, MOUNT, 3, MNT, 0, 0, 0, 0) + opaque(path)
    sock.sendall(struct.pack(">I", 0x80000000 | len(body)) + body)
    mark, = struct.unpack(">I", read(4))
    reply = read(mark & 0x7FFFFFFF)
    verifier, = struct.unpack(">I", reply[16:20])
    status, = struct.unpack(">I", reply[24 + verifier:28 + verifier])
print(status)
