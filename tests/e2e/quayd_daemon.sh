#!/usr/bin/env bash
# quayd as a daemon: --help and --version; one quayd per data directory (a
# second one exits at once and changes no byte); SIGHUP reopens the log and
# every stop signal stops quayd cleanly; the log is rotated at its cap; what
# clients send is escaped in the log and refused mounts are rate-limited; a
# quayd that cannot listen for NFS stops with a clear error.
set -euo pipefail
quayd="$1"
quayadm="$2"
calls="$(dirname "$0")/mount_calls.py"
source "$(dirname "$0")/../support/quayd_e2e.sh" e2e-daemon

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; tail -n 30 "$log" >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
stop_quayd() {
  kill -"${1:-TERM}" "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=""
  [ "$status" -eq 0 ] || fail "quayd exited with $status on SIG${1:-TERM}"
}
# Every file of the data directory but the socket, with its checksum.
fingerprint() { (cd "$data" && find . -type f ! -name quayd.sock -print0 | sort -z | xargs -0 sha256sum); }

# --- help and version, without a data directory
out="$("$quayd" --version)" || fail "--version"
case "$out" in "quayd "*", admin protocol 1") ;; *) fail "--version printed [$out]" ;; esac
"$quayd" --help | grep -q "^  --log-max-mb N " || fail "--help lacks --log-max-mb"
"$quayd" --help | grep -q "^Log levels:" || fail "--help lacks the log levels"
out="$("$quayd" --log-keep x 2>&1)" && fail "a bad --log-keep was taken"
case "$out" in "quayd: --log-keep must be a number of files from 0 to 1000"*) ;; *) fail "bad option: $out" ;; esac

port="$(free_port)"
launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind
adm add-client 1 daemon-host
adm define-store 10 1 store1
adm export create live 10 /store1
[ "$(cat "$data/quayd.pid")" = "$pid" ] || fail "quayd.pid holds [$(cat "$data/quayd.pid")], not $pid"

# --- a second quayd on the same data directory: non-zero at once, naming
# the running one, every file as it was
before="$(fingerprint)"
status=0
out="$("$quayd" --data-dir "$data" --nfs-port 0 --admin-socket "$data/other.sock" 2>&1)" || status=$?
[ "$status" -eq 1 ] || fail "second quayd exited with $status: $out"
[ "$out" = "quayd: data directory $data is in use by quayd pid $pid; stop it first or use another --data-dir" ] ||
  fail "second quayd said: $out"
[ "$(fingerprint)" = "$before" ] || fail "second quayd changed files: $(diff <(echo "$before") <(fingerprint))"
[ ! -e "$data/other.sock" ] || fail "second quayd made a socket"
"$quayadm" --socket "$socket" list-exports | grep -q "	/store1$" || fail "first quayd lost its share"

# --- what a client sends is escaped; refused mounts are few
"$calls" "$port" 1 '/store1\nFORGED 1 -1 f:1 ERROR: forged' > /dev/null || fail "mount call"
"$calls" "$port" 1 '/esc\x1b[2J\x07' > /dev/null || fail "mount call"
grep -qF 'INFO: NFS: mount of [/store1\nFORGED 1 -1 f:1 ERROR: forged] by [127.0.0.1] answered [2]' "$log" ||
  fail "newline not escaped"
grep -qF 'INFO: NFS: mount of [/esc\x1b[2J\x07] by [127.0.0.1] answered [2]' "$log" || fail "escape sequence not escaped"
! grep -q "^FORGED" "$log" || fail "a forged line got into the log"
! grep -q $'\x1b' "$log" || fail "an escape character got into the log"
"$calls" "$port" 200 /nosuchshare > /dev/null || fail "mount calls"
refused="$(grep -c "mount of \[/nosuchshare\]" "$log" || true)"
[ "$refused" -ge 1 ] && [ "$refused" -le 20 ] || fail "$refused of 200 refused mounts logged"
[ "$("$calls" "$port" 1 /store1)" = 0 ] || fail "mount of /store1 refused"
! grep -q "mount of \[/store1\] by \[127.0.0.1\] answered \[0\]" "$log" || fail "a mount logged at level 1"

# --- SIGHUP reopens the log; the moved file keeps what was written before
mv "$log" "$data/moved.log"
starts=0  # launch_quayd counts start lines in the new log
kill -HUP "$pid"
for _ in $(seq 1 100); do [ -s "$log" ] && break; sleep 0.1; done
grep -q "INFO: Log file reopened on signal \[1\]" "$log" || fail "no reopen line in the new log"
grep -q "quayd started" "$data/moved.log" || fail "moved log lost its lines"
kill -0 "$pid" || fail "quayd died on SIGHUP"

# --- every stop signal: exit 0, exports saved, socket removed, last line
for sig in INT QUIT USR1 ALRM RTMIN+2; do
  rm -f "$data/exports.saved"
  stop_quayd "$sig"
  [ ! -e "$socket" ] || fail "socket left after SIG$sig"
  grep -q "^export=/store1$" "$data/exports.saved" || fail "exports not saved on SIG$sig"
  [ "$(tail -n 1 "$log" | sed 's/.* //')" = "stopped" ] || fail "last line after SIG$sig: $(tail -n 1 "$log")"
  [ ! -s "$data/quayd.pid" ] || fail "quayd.pid not emptied on SIG$sig"
  launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind
done
number="$(kill -l RTMIN+2)"
grep -q "INFO: quayd stopping on signal \[$number\]" "$log" || fail "no stop line for SIGRTMIN+2"
stop_quayd TERM

# --- rotation at the cap, keeping --log-keep files
launch_quayd --log-level 3 --log-max-mb 1 --log-keep 2 --nfs-port "$port" --mount-port "$port" --no-rpcbind
"$calls" "$port" 30000 /store1 > /dev/null || fail "mount calls"
[ -s "$log.1" ] && [ -s "$log.2" ] || fail "log not rotated: $(ls "$data")"
[ ! -e "$log.3" ] || fail "more than 2 rotated files kept"
for file in "$log" "$log.1" "$log.2"; do
  [ "$(stat -c %s "$file")" -le 1048576 ] || fail "$file is larger than 1 MiB"
done
grep -q "INFO: NFS: mount of \[/store1\] by \[127.0.0.1\] answered \[0\]" "$log" || fail "no mount lines at level 3"
stop_quayd TERM

# --- NFS port taken: quayd stops with a clear error instead of running without NFS
exec 5< <(python3 -c 'import socket,sys,time
s=socket.socket(); s.bind(("127.0.0.1",0)); s.listen(); print(s.getsockname()[1]); sys.stdout.flush(); time.sleep(600)')
kill_on_exit $!
read -r taken <&5
status=0
out="$("$quayd" --data-dir "$data" --nfs-port "$taken" --mount-port "$taken" --no-rpcbind 2>&1)" || status=$?
[ "$status" -eq 1 ] || fail "quayd on a taken port exited with $status"
case "$out" in "quayd: cannot serve NFS: "*) ;; *) fail "taken port: $out" ;; esac
[ ! -e "$socket" ] || fail "socket left after the NFS failure"
[ "$(tail -n 1 "$log" | sed 's/.* //')" = "stopped" ] || fail "no last line after the NFS failure"
echo "quayd daemon ok"
