#!/usr/bin/env python3
"""A stand-in for systemd's notification socket:
    notify_listener.py ADDRESS OUT NFS_PORT METRICS_PORT
ADDRESS is a path or an abstract name written '@name', as NOTIFY_SOCKET
gives them. Every datagram received is appended to OUT as one line (its
newlines shown as '|'); right after one that holds READY=1 the listener
connects to the NFS and metrics ports (0: none) and appends
"probe nfs ok" / "probe metrics ok" (or "... refused"), so that the file
shows whether quayd was serving when it said it was ready. Ends after
STOPPING=1, or after 120 s."""
import socket
import sys

address, out, nfs_port, metrics_port = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind("\0" + address[1:] if address.startswith("@") else address)
sock.settimeout(120)


def note(line):
    with open(out, "a") as f:
        f.write(line + "\n")


def probe(name, port):
    if port == 0:
        return
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
        note(f"probe {name} ok")
    except OSError as error:
        note(f"probe {name} refused: {error}")


note("listening")
try:
    while True:
        datagram = sock.recv(4096).decode()
        note(datagram.replace("\n", "|"))
        if "READY=1" in datagram.split("\n"):
            probe("nfs", nfs_port)
            probe("metrics", metrics_port)
        if "STOPPING=1" in datagram.split("\n"):
            break
except socket.timeout:
    note("timeout")
