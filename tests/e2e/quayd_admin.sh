#!/usr/bin/env bash
# Managing shares end to end: quayd on a fresh data directory, quayadm creates
# a subclient, exports its live store and PIT views, updates and un-exports
# them; quayd restarts and serves the remaining shares under the same share
# ids. Also: bad and malformed requests get errors, non-root peers are refused.
set -euo pipefail
quayd="$1"
quayadm="$2"
source "$(dirname "$0")/../support/quayd_e2e.sh" e2e-server 'nSyncInterval=5
'

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; tail -n 40 "$log" >&2 || true; exit 1; }

adm() { "$quayadm" --socket "$socket" "$@"; }

# expect CODE COMMAND...: the command's status line starts with "CODE: ".
expect() {
  local want="$1"; shift
  local out
  out="$(adm "$@" 2>&1)" || true
  case "$out" in
    "$want: "*) ;;
    *) fail "quayadm $* answered [$out], expected code $want" ;;
  esac
  printf '%s\n' "$out"
}

start_quayd() {
  # No NFS listener: this test manages shares only, beside other tests.
  launch_quayd --log-level 3 --nfs-port 0
}

stop_quayd() {
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=""
  [ "$status" -eq 0 ] || fail "quayd exited with $status"
}

# share_id PATH: the share id list-exports shows for PATH (empty when none).
share_id() { adm list-exports | awk -F'\t' -v p="$1" 'NR > 1 && $5 == p { print $1 }'; }

start_quayd
[ "$(stat -c %a "$socket")" = 600 ] || fail "socket mode is not 0600"

# --- configuration: a subclient presenting store1, served by this server
expect 0 add-client 1 e2e-host
expect 0 add-subclient 10 1 backups
expect 0 define-store 10 1 store1
adm show-subclient 10 | grep -q "^quayNFSServers	e2e-server$" || fail "NFS server is not this server"
adm show-subclient 10 | grep -q "^quaySupportedProtocols	nfsv3,nfsv4$" || fail "protocols not set"
expect 104 define-store 11 1 store1 > /dev/null

# --- the live store, then two PIT views of it
expect 0 export create live 10 /store1
sleep 1
now="$(date +%s)"
expect 0 add-view 10 /store1-snap1 "$now" 1 0
expect 0 add-view 10 /store1-snap2 "$now" 0 0
expect 0 export create pit 10 /store1-snap1
expect 0 export create pit 10 /store1-snap2
expect 18 export create live 10 /store1 > /dev/null
live_id="$(share_id /store1)"
snap1_id="$(share_id /store1-snap1)"
snap2_id="$(share_id /store1-snap2)"
[ -n "$live_id" ] && [ -n "$snap1_id" ] && [ -n "$snap2_id" ] || fail "exports missing: $(adm list-exports)"
adm list-exports | grep -q "^$snap1_id	4	pit	ro	/store1-snap1$" || fail "read-only view not listed as such"

# --- updates and statistics
expect 0 set-property 10 quayUsers 0,1000
expect 100 set-property 10 quayUsers alice > /dev/null
expect 0 export update live 10 /store1
expect 0 export update pit 10 /store1-snap2
expect 0 stats 10 /store1
expect 0 client-update 10 /store1 "" ""

# --- un-export the first view and drop it from the configuration
expect 0 export unexport pit 10 /store1-snap1
expect 0 remove-view 10 /store1-snap1
[ -z "$(share_id /store1-snap1)" ] || fail "/store1-snap1 still exported"
grep -q "^export=/store1-snap2$" "$data/exports.saved" || fail "saved exports lack /store1-snap2"
! grep -q "^export=/store1-snap1$" "$data/exports.saved" || fail "saved exports still hold /store1-snap1"

# --- bad and malformed requests
out="$(printf 'version=1\ncommand=export\nop=create\ntype=live\nsubclient=abc\npath=/store1\n' |
       "$quayadm" --socket "$socket" --raw 2>&1 || true)"
[ "$out" = "100: field subclient must be a number from 1 to 2147483647, not [abc]" ] || fail "bad id answer: $out"
out="$(printf 'no equals sign\n' | "$quayadm" --socket "$socket" --raw 2>&1 || true)"
[ "$out" = "100: malformed request: line 1: expected key=value" ] || fail "malformed request answer: $out"
out="$(printf '\0\0\0\5abc' | "$quayadm" --socket "$socket" --raw 2>&1 || true)"
case "$out" in "100: "*) ;; *) fail "broken frame answer: $out" ;; esac
# export types outside 1-2 stop in quayd (this runs under UBSan as well)
for op in create update unexport; do
  out="$(printf 'version=1\ncommand=export\nop=%s\ntype=7\nsubclient=10\npath=/store1\n' "$op" |
         "$quayadm" --socket "$socket" --raw 2>&1 || true)"
  [ "$out" = "100: export type [7] must be live (1) or pit (2)" ] || fail "export type 7 on $op: $out"
done
# ids the module could not bring back after a restart: refused by quayadm,
# and by quayd for a client that sends them anyway
out="$(adm export create live 3000000000 /store1 2>&1 || true)"
case "$out" in "quayadm: field subclient must be a number from 1 to 2147483647, not [3000000000]"*) ;;
  *) fail "large id in quayadm: $out" ;; esac
out="$(printf 'version=1\ncommand=add-subclient\nid=3000000000\nclient=1\nname=big\n' |
       "$quayadm" --socket "$socket" --raw 2>&1 || true)"
[ "$out" = "100: field id must be a number from 1 to 2147483647, not [3000000000]: quayd brings shares back at start by signed 32-bit ids" ] ||
  fail "large id in quayd: $out"
kill -0 "$pid" || fail "quayd died on a malformed request"

# --- only root may use the socket
if [ "$(id -u)" -eq 0 ] && command -v setpriv > /dev/null; then
  # quayadm and its libraries where nobody can load them: the checkout may
  # sit in a private folder, and a quayadm that cannot start never reaches
  # the socket this step is about.
  reachable="$(mktemp -d)"
  e2e_cleanup() { rm -rf "$reachable"; }
  mkdir "$reachable/bin" "$reachable/lib"
  cp "$quayadm" "$reachable/bin/"
  cp -P "$(dirname "$quayadm")"/../lib/*.so* "$reachable/lib/"
  chmod -R a+rX "$reachable"
  nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$reachable/bin/$(basename "$quayadm")" --socket "$socket" "$@"; }
  out="$(nobody --version 2>&1)" || fail "quayadm does not start as nobody: $out"
  chmod 755 "$data"
  out="$(nobody list-exports 2>&1 || true)"
  case "$out" in *"Permission denied"*) ;; *) fail "mode 0600 did not keep nobody out: $out" ;; esac
  chmod 666 "$socket"
  out="$(nobody list-exports 2>&1 || true)"
  [ "$out" = "101: permission denied: only root may use quayd's admin socket" ] || fail "non-root answer: $out"
  grep -q "WARN: Admin request refused: \[uid 65534 pid [0-9]*\] is not root" "$log" || fail "refusal not logged"
  chmod 600 "$socket"
  chmod 700 "$data"
else
  echo "non-root check skipped (needs root and setpriv)"
fi

# --- restart: the remaining shares come back under the same ids
stop_quayd
grep -q "INFO: quayd stopped" "$log" || fail "no stop line"
start_quayd
for _ in $(seq 1 300); do
  [ -n "$(share_id /store1)" ] && [ -n "$(share_id /store1-snap2)" ] && break
  sleep 0.2
done
[ "$(share_id /store1)" = "$live_id" ] || fail "/store1 came back as [$(share_id /store1)], not [$live_id]"
[ "$(share_id /store1-snap2)" = "$snap2_id" ] || fail "/store1-snap2 came back as [$(share_id /store1-snap2)], not [$snap2_id]"
[ -z "$(share_id /store1-snap1)" ] || fail "/store1-snap1 came back"
grep -q "INFO: Restored saved export \[/store1-snap2\] with share ID \[$snap2_id\]" "$log" || fail "restore not logged"

# --- un-exporting the live store takes its views down as well
expect 0 export unexport live 10 /store1
[ -z "$(share_id /store1)" ] && [ -z "$(share_id /store1-snap2)" ] || fail "shares left: $(adm list-exports)"
stop_quayd
! grep -q "^export=" "$data/exports.saved" || fail "saved exports not empty after un-export"
grep -q "INFO: Admin request \[export\] answered \[0\]" "$log" || fail "admin requests not logged"
echo "quayd admin story ok: share ids $live_id $snap1_id $snap2_id"
