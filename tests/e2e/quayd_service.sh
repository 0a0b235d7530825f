#!/usr/bin/env bash
# quayd as a service, end to end: started with NOTIFY_SOCKET (an abstract
# name, then a path) it sends READY=1 once its NFS and metrics listeners
# take connections and STOPPING=1 as it stops; its metrics endpoint, after
# a known sequence of NFS and MOUNT calls, shows exactly those calls, their
# errors, the data read and written, the connection and the reply-cache hit,
# and quayadm stats the same; the endpoint answers GET of /metrics only and
# refuses every other request with its status, and a client over its
# connection limit with 503.
set -euo pipefail
quayd="$1"
quayadm="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../support/quayd_e2e.sh" e2e-service

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; tail -n 40 "$log" >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
port="$(free_port)"
metrics_port="$(free_port)"
[ "$metrics_port" != "$port" ] || metrics_port="$(free_port)"
notes="$data/notify.txt"

# start_notified ADDRESS: the listener on ADDRESS, then quayd told to
# notify it; waits for READY=1.
start_notified() {
  rm -f "$notes"
  python3 "$here/notify_listener.py" "$1" "$notes" "$port" "$metrics_port" &
  listener=$!
  kill_on_exit "$listener"
  for _ in $(seq 1 100); do grep -q "^listening$" "$notes" 2>/dev/null && break; sleep 0.05; done
  local metrics=()
  [ "$metrics_port" = 0 ] || metrics=(--metrics "127.0.0.1:$metrics_port")
  NOTIFY_SOCKET="$1" launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind "${metrics[@]}"
  local last="^probe metrics"
  [ "$metrics_port" != 0 ] || last="^probe nfs"
  for _ in $(seq 1 200); do grep -q "$last" "$notes" 2>/dev/null && break; sleep 0.05; done
  grep -q "^READY=1|" "$notes" || fail "no READY=1 from quayd: $(cat "$notes")"
  grep -qx "probe nfs ok" "$notes" || fail "NFS not served when quayd said READY=1: $(cat "$notes")"
  if [ "$metrics_port" != 0 ]; then
    grep -qx "probe metrics ok" "$notes" || fail "metrics not served when quayd said READY=1: $(cat "$notes")"
  fi
}

# stop_notified: SIGTERM; STOPPING=1 after READY=1, and a clean exit.
stop_notified() {
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=""
  [ "$status" = 0 ] || fail "quayd stopped with status $status"
  wait "$listener" || true
  [ "$(grep -v "^probe\|^listening$" "$notes" | cut -d'|' -f1 | tr '\n' ' ')" = "READY=1 STOPPING=1 " ] ||
    fail "notifications were not READY=1 then STOPPING=1: $(cat "$notes")"
}

# --- --metrics: in --help and the README; an address it cannot use stops quayd
"$quayd" --help | grep -q "^  --metrics ADDR:PORT " || fail "--help lacks --metrics"
grep -q '`quayd --metrics ADDR:PORT`' "$here/../../README.md" || fail "the README lacks --metrics"
out="$("$quayd" --data-dir "$data" --metrics localhost:9469 2>&1)" && fail "--metrics localhost:9469 taken"
printf '%s\n' "$out" | grep -q "^quayd: --metrics takes ADDR:PORT" || fail "--metrics localhost: $out"
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(1)
open(sys.argv[2], "w").write("held\n"); time.sleep(60)' "$metrics_port" "$data/held" > /dev/null 2>&1 &
holder=$!
kill_on_exit "$holder"
for _ in $(seq 1 200); do [ -s "$data/held" ] && break; sleep 0.05; done
[ -s "$data/held" ] || fail "could not hold the metrics port"
status=0
out="$(timeout 30 "$quayd" --data-dir "$data" --nfs-port "$port" --mount-port "$port" --no-rpcbind \
        --metrics "127.0.0.1:$metrics_port" 2>&1)" || status=$?
[ "$status" = 1 ] || fail "quayd with its metrics port taken exited with $status: $out"
printf '%s\n' "$out" | grep -q "^quayd: cannot serve metrics: cannot listen on 127.0.0.1:$metrics_port: " ||
  fail "metrics port taken: $out"
kill "$holder"; wait "$holder" 2>/dev/null || true
rm -f "$log"

# --- an abstract notification socket
start_notified "@quayd-e2e-$$-$RANDOM"
grep -q "READY=1|STATUS=serving NFS on 127.0.0.1 port $port|" "$notes" || fail "READY=1 without its status: $(cat "$notes")"

adm add-client 1 service-host
adm define-store 10 1 store1
adm export create live 10 /store1
share_id="$("$quayadm" --socket "$socket" list-exports | awk -F'\t' 'NR > 1 && $5 == "/store1" { print $1 }')"
[ -n "$share_id" ] || fail "no share id for /store1"

# A known sequence of calls, on one connection that stays open while the
# metrics are read (the script waits on its standard input).
calls_done="$data/calls.done"
mkfifo "$data/calls.hold"
cat > "$data/calls.py" <<'PY'
import struct, sys
sys.path.insert(0, sys.argv[2])
from rpc_wire import Connection, GARBAGE_ARGS, MOUNT, NFS, PROC_UNAVAIL, PROG_MISMATCH, SUCCESS, auth_sys, opaque
failures = []
c = Connection(int(sys.argv[1]), failures)
root_cred = auth_sys(0, 0)
c.expect("MOUNT NULL", c.call(1, MOUNT, 0), (SUCCESS, b""))
root = c.mount(2, "/store1")
c.expect("NFS NULL", c.call(3, NFS, 0), (SUCCESS, b""))
for xid in (4, 5):
    accept, res = c.call(xid, NFS, 1, opaque(root), root_cred)
    c.expect("GETATTR", (accept, struct.unpack(">I", res[:4])[0]), (SUCCESS, 0))
accept, res = c.call(6, NFS, 3, opaque(root) + opaque(b"missing"), root_cred)
c.expect("LOOKUP of a missing name", (accept, struct.unpack(">I", res[:4])[0]), (SUCCESS, 2))  # NFS3ERR_NOENT
create = opaque(root) + opaque(b"file") + struct.pack(">7I", 0, 0, 0, 0, 0, 0, 0)  # UNCHECKED, no attributes
made = c.call(7, NFS, 8, create, root_cred)
c.expect("CREATE", (made[0], struct.unpack(">I", made[1][:4])[0]), (SUCCESS, 0))
c.expect("CREATE retransmitted", c.call(7, NFS, 8, create, root_cred), made)  # answered from the reply cache
handle = made[1][12:12 + struct.unpack(">I", made[1][8:12])[0]]
data = bytes(range(100))
accept, res = c.call(8, NFS, 7, opaque(handle) + struct.pack(">QII", 0, 100, 2) + opaque(data), root_cred)
c.expect("WRITE", (accept, struct.unpack(">I", res[:4])[0]), (SUCCESS, 0))
accept, res = c.call(9, NFS, 6, opaque(handle) + struct.pack(">QI", 0, 100), root_cred)
c.expect("READ", (accept, struct.unpack(">I", res[:4])[0]), (SUCCESS, 0))
c.expect("READ data", res[-100:], data)
c.expect("GETATTR of a cut handle", c.call(10, NFS, 1, struct.pack(">II", 64, 0))[0], GARBAGE_ARGS)
c.expect("NFS procedure 99", c.call(11, NFS, 99)[0], PROC_UNAVAIL)
c.expect("NFS version 2", c.call(12, NFS, 0, version=2)[0], PROG_MISMATCH)
c.expect("NFSv4 NULL", c.call(13, NFS, 0, version=4), (SUCCESS, b""))
for failure in failures:
    print("FAIL " + failure)
open(sys.argv[3], "w").write("failed\n" if failures else "ok\n")
sys.stdin.read()  # the connection stays open until the script lets go
PY
python3 "$data/calls.py" "$port" "$here/../support" "$calls_done" < "$data/calls.hold" &
caller=$!
kill_on_exit "$caller"
exec 7> "$data/calls.hold"
for _ in $(seq 1 300); do [ -s "$calls_done" ] && break; kill -0 "$caller" 2>/dev/null || break; sleep 0.1; done
[ "$(cat "$calls_done" 2>/dev/null)" = ok ] || fail "the NFS calls did not go as planned"

scrape() { python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=30).read().decode())' \
             "http://127.0.0.1:$metrics_port/metrics"; }
metrics="$(scrape)" || fail "GET /metrics failed"
printf '%s\n' "$metrics" > "$data/metrics.txt"

# Exactly these procedures were called, these many times, with these errors.
nonzero() { grep "^$1{" "$data/metrics.txt" | grep -v " 0$" | sort; }
expected_calls='quay_rpc_calls_total{program="mount",version="3",procedure="MNT"} 1
quay_rpc_calls_total{program="mount",version="3",procedure="NULL"} 1
quay_rpc_calls_total{program="nfs",version="3",procedure="CREATE"} 2
quay_rpc_calls_total{program="nfs",version="3",procedure="GETATTR"} 3
quay_rpc_calls_total{program="nfs",version="3",procedure="LOOKUP"} 1
quay_rpc_calls_total{program="nfs",version="3",procedure="NULL"} 1
quay_rpc_calls_total{program="nfs",version="3",procedure="READ"} 1
quay_rpc_calls_total{program="nfs",version="3",procedure="WRITE"} 1
quay_rpc_calls_total{program="nfs",version="4",procedure="NULL"} 1'
[ "$(nonzero quay_rpc_calls_total)" = "$expected_calls" ] ||
  fail "calls counted: $(nonzero quay_rpc_calls_total), not: $expected_calls"
[ "$(nonzero quay_rpc_errors_total)" = 'quay_rpc_errors_total{program="nfs",version="3",procedure="LOOKUP",status="NFS3ERR_NOENT"} 1' ] ||
  fail "errors counted: $(nonzero quay_rpc_errors_total)"
expected_rejected='quay_rpc_rejected_total{error="GARBAGE_ARGS"} 1
quay_rpc_rejected_total{error="PROC_UNAVAIL"} 1
quay_rpc_rejected_total{error="PROG_MISMATCH"} 1'
[ "$(nonzero quay_rpc_rejected_total)" = "$expected_rejected" ] || fail "RPC errors counted: $(nonzero quay_rpc_rejected_total)"
[ -z "$(nonzero quay_nfs4_operations_total)" ] || fail "NFSv4 operations counted: $(nonzero quay_nfs4_operations_total)"
has() { grep -qxF "$1" "$data/metrics.txt" || fail "the metrics lack [$1]; they have: $(grep "^${1%%[{ ]*}" "$data/metrics.txt" | head -n 20)"; }
has 'quay_rpc_duration_seconds_count{program="nfs",version="3",procedure="GETATTR"} 3'
has 'quay_rpc_duration_seconds_bucket{program="nfs",version="3",procedure="GETATTR",le="+Inf"} 3'
has 'quay_rpc_duration_seconds_count{program="mount",version="3",procedure="MNT"} 1'
grep -q '^quay_rpc_duration_seconds_count{program="nfs",version="3",procedure="REMOVE"}' "$data/metrics.txt" &&
  fail "a histogram for a procedure never called"
has "quay_nfs_read_bytes_total 100"
has "quay_nfs_written_bytes_total 100"
has "quay_share_read_bytes_total{share=\"/store1\",share_id=\"$share_id\"} 100"
has "quay_share_written_bytes_total{share=\"/store1\",share_id=\"$share_id\"} 100"
has "quay_share_reads_total{share=\"/store1\",share_id=\"$share_id\"} 1"
has "quay_share_writes_total{share=\"/store1\",share_id=\"$share_id\"} 1"
has "quay_shares 1"
has "quay_nfs_connections_open 1"
# The listener's probe at READY=1 was the first connection.
has "quay_nfs_connections_accepted_total 2"
has 'quay_nfs_connections_refused_total{reason="connection_limit"} 0'
has "quay_nfs_reply_cache_hits_total 1"
has "quay_nfs_open_files_cached 1"
has 'quay_store_objects{store="/store1",type="file"} 1'
has 'quay_store_logical_bytes{store="/store1"} 100'
grep -q '^quay_store_disk_bytes{store="/store1"} [1-9][0-9]*$' "$data/metrics.txt" || fail "no size on disk of /store1"
# Every family is announced once, with its type, before its samples.
python3 - "$data/metrics.txt" <<'PY' || fail "the metrics are not well-formed Prometheus text"
import re, sys
typed, seen = {}, set()
sample = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\.)*",?)*\})? [0-9.e+-]+$')
for line in open(sys.argv[1]).read().splitlines():
    if line.startswith("# TYPE "):
        _, _, name, kind = line.split(" ")
        assert name not in typed, f"family {name} typed twice"
        typed[name] = kind
        continue
    if line.startswith("# HELP ") or not line:
        continue
    match = sample.match(line)
    assert match, f"not a sample: {line}"
    name = match.group(1)
    family = re.sub(r"_(bucket|sum|count)$", "", name) if re.sub(r"_(bucket|sum|count)$", "", name) in typed else name
    assert family in typed, f"sample before its TYPE: {line}"
PY

# quayadm stats, for a person: the same figures.
stats="$("$quayadm" --socket "$socket" stats)" || fail "quayadm stats: $stats"
for row in "connections open	1" "bytes read	100" "bytes written	100" "nfs v3 GETATTR calls	3" \
           "nfs v3 LOOKUP errors NFS3ERR_NOENT	1" "mount v3 MNT calls	1" "nfs v3 CREATE calls	2" \
           "retransmissions answered from kept replies	1" "calls refused with GARBAGE_ARGS	1" \
           "share /store1 (id $share_id) bytes written	100" "store /store1 files	1" "open files cached	1"; do
  printf '%s\n' "$stats" | grep -qxF "$row" || fail "quayadm stats lacks [$row]: $stats"
done
printf '%s\n' "$stats" | head -n 1 | grep -q "^0: quayd [0-9.]*: 1 shares, 1 NFS connections open$" || fail "quayadm stats: $stats"
printf '%s\n' "$stats" | grep -q "^nfs v3 GETATTR latency	mean [0-9.]* ms, 99% within [0-9.]* ms$" || fail "no GETATTR latency: $stats"
# The share's own backup statistics are still there under the same word.
"$quayadm" --socket "$socket" stats 10 /store1 > /dev/null || fail "quayadm stats 10 /store1"

# --- the endpoint refuses everything but GET of its path
python3 - "$metrics_port" <<'PY' || fail "the metrics endpoint answered a request it should refuse"
import socket, sys
port = int(sys.argv[1])
failures = []
def ask(request, timeout=10):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        s.sendall(request)
        s.shutdown(socket.SHUT_WR)
    except OSError:
        pass  # refused before the whole request was taken
    data = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass
    s.close()
    return data
def status(what, request, want, header=None):
    answer = ask(request)
    line = answer.split(b"\r\n", 1)[0].decode("latin-1")
    if not line.startswith(f"HTTP/1.1 {want} "):
        failures.append(f"{what}: answered [{line}], want {want}")
    if header is not None and header not in answer.split(b"\r\n\r\n", 1)[0].split(b"\r\n"):
        failures.append(f"{what}: no header {header!r}")
host = b"Host: 127.0.0.1\r\n"
status("GET /metrics", b"GET /metrics HTTP/1.1\r\n" + host + b"\r\n", 200, b"Content-Type: text/plain; version=0.0.4; charset=utf-8")
status("GET /metrics as HTTP/1.0", b"GET /metrics HTTP/1.0\r\n\r\n", 200)
for method in (b"POST", b"PUT", b"DELETE", b"HEAD", b"OPTIONS", b"PATCH", b"TRACE", b"CONNECT"):
    status(method.decode(), method + b" /metrics HTTP/1.1\r\n" + host + b"Content-Length: 0\r\n\r\n", 405, b"Allow: GET")
for path in (b"/", b"/metrics/", b"/metricsx", b"/other", b"http://127.0.0.1/metrics", b"*"):
    status(b"GET " .decode() + path.decode(), b"GET " + path + b" HTTP/1.1\r\n" + host + b"\r\n", 404)
status("no Host", b"GET /metrics HTTP/1.1\r\n\r\n", 400)
status("two Hosts", b"GET /metrics HTTP/1.1\r\n" + host + host + b"\r\n", 400)
status("a body", b"GET /metrics HTTP/1.1\r\n" + host + b"Content-Length: 5\r\n\r\nhello", 400)
status("chunked", b"GET /metrics HTTP/1.1\r\n" + host + b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400)
status("HTTP/2.0", b"GET /metrics HTTP/2.0\r\n" + host + b"\r\n", 505)
status("not HTTP", b"\x00\x01\x02 hello\r\n\r\n", 400)
status("a folded header", b"GET /metrics HTTP/1.1\r\n" + host + b"X: a\r\n  b\r\n\r\n", 400)
status("space before a colon", b"GET /metrics HTTP/1.1\r\n" + host + b"X : a\r\n\r\n", 400)
status("a bare CR", b"GET /metrics HTTP/1.1\r\n" + host + b"X: a\rb\r\n\r\n", 400)
status("a long request line", b"GET /" + b"m" * 2000 + b" HTTP/1.1\r\n" + host + b"\r\n", 414)
status("a long head", b"GET /metrics HTTP/1.1\r\n" + host + b"X: " + b"a" * 9000 + b"\r\n\r\n", 431)
status("too many headers", b"GET /metrics HTTP/1.1\r\n" + host + b"".join(b"X%d: a\r\n" % i for i in range(70)) + b"\r\n", 431)
# Over the connection limit: 8 idle connections are held, a ninth is
# answered 503 at once; once they go, GET works again.
idle = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(8)]
import time
time.sleep(0.3)
status("a ninth connection", b"GET /metrics HTTP/1.1\r\n" + host + b"\r\n", 503)
for s in idle:
    s.close()
for _ in range(50):
    if ask(b"GET /metrics HTTP/1.1\r\n" + host + b"\r\n").startswith(b"HTTP/1.1 200 "):
        break
    time.sleep(0.1)
else:
    failures.append("GET refused after the idle connections went")
# A client that sends nothing is given up after 5 s with 408.
started = time.monotonic()
s = socket.create_connection(("127.0.0.1", port), timeout=15)
answer = s.recv(4096)
s.close()
if not answer.startswith(b"HTTP/1.1 408 ") or not 4 <= time.monotonic() - started <= 10:
    failures.append(f"an idle client: answered {answer[:40]!r} after {time.monotonic() - started:.1f} s")
for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
PY
# The refused requests were no NFS calls: the counts stand.
scrape > "$data/metrics.txt" || fail "GET /metrics failed"
[ "$(nonzero quay_rpc_calls_total)" = "$expected_calls" ] || fail "calls counted after the refusals: $(nonzero quay_rpc_calls_total)"

# The connection closes: open goes back to 0.
exec 7>&-
wait "$caller" || true
for _ in $(seq 1 50); do
  scrape > "$data/metrics.txt" && grep -qxF "quay_nfs_connections_open 0" "$data/metrics.txt" && break
  sleep 0.1
done
has "quay_nfs_connections_open 0"
has "quay_nfs_connections_accepted_total 2"
stop_notified

# --- a notification socket with a path; without --metrics nothing listens there
metrics_port=0
start_notified "$data/notify.sock"
stop_notified
grep -q "Metrics served" "$log" || fail "the metrics endpoint was not logged"
[ "$(grep -c "Metrics served" "$log")" = 1 ] || fail "metrics served without --metrics"
echo "service ok"
