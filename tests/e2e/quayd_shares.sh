#!/usr/bin/env bash
# Shares that stay closed, end to end through quayadm and libnfs (nfs_probe):
# a PIT view admits exactly whom its store admits; a store belongs to the
# subclient that defined it; allow-lists are refused unless they mean what
# they say, and a host name admits its addresses; a failing create shows
# its reason under the answer.
set -euo pipefail
quayd="$1"
quayadm="$2"
probe="$3"
source "$(dirname "$0")/../support/quayd_e2e.sh" e2e-shares

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; tail -n 40 "$log" >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
# expect CODE TEXT COMMAND...: quayadm answers exactly "CODE: TEXT" first.
expect() {
  local code="$1" text="$2"; shift 2
  local out
  out="$("$quayadm" --socket "$socket" "$@" 2>&1)" || true
  [ "$(printf '%s\n' "$out" | head -n 1)" = "$code: $text" ] || fail "quayadm $* answered [$out], not [$code: $text]"
}
port="$(free_port)"
url() { printf 'nfs://127.0.0.1%s?nfsport=%s&mountport=%s&version=3%s' "$1" "$port" "$port" "${2:-}"; }
share_id() { "$quayadm" --socket "$socket" list-exports | awk -F'\t' -v p="$1" 'NR > 1 && $5 == p { print $1 }'; }

launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind
adm add-client 1 shares-host
adm define-store 10 1 store1
adm export create live 10 /store1
"$probe" "$(url /store1)" write /data.bin 1 > /dev/null || fail "write to the store"

# --- a restricted store's views refuse whom the store refuses
adm set-property 10 quayUsers 1000
adm set-property 10 quayGroups 1000
adm set-property 10 quayAllowedNFSClients 127.0.0.1
adm export update live 10 /store1
sleep 1.1
adm add-view 10 /store1-v1 "$(date +%s)" 1 0
adm export create pit 10 /store1-v1
"$quayadm" --socket "$socket" list-views 10 | grep -q "^/store1-v1	[0-9]*	ro	127.0.0.1	1000	1000	e2e-shares$" ||
  fail "view lacks the store's access: $("$quayadm" --socket "$socket" list-views 10)"
"$quayadm" --socket "$socket" list-exports | grep -q "	pit	ro	/store1-v1$" || fail "view not listed ro"
"$probe" "$(url /store1 '&uid=2000&gid=2000')" denied /data.bin 13 || fail "uid 2000 not refused on /store1"
out="$("$probe" "$(url /store1-v1 '&uid=2000&gid=2000')" check /data.bin 1)" && fail "uid 2000 read the view"
case "$out" in *"ACCES"*) ;; *) fail "uid 2000 on the view: $out" ;; esac
for share in /store1 /store1-v1; do
  "$probe" "$(url "$share" '&uid=1000&gid=2000')" check /data.bin 1 || fail "uid 1000 refused on $share"
done
adm set-property 10 quayAllowedNFSClients 10.0.0.0/8
adm export update live 10 /store1
adm add-view 10 /store1-v2 "$(date +%s)" 1 0
adm export create pit 10 /store1-v2
for share in /store1 /store1-v2; do
  "$probe" "$(url "$share" '&uid=1000')" mount 13 || fail "127.0.0.1 mounted $share against 10.0.0.0/8"
done
# A view given its own access on the command line keeps it.
adm add-view 10 /store1-v3 "$(date +%s)" 0 1 --clients 127.0.0.1 --users '*' --groups '*'
adm export create pit 10 /store1-v3
"$probe" "$(url /store1-v3 '&uid=2000&gid=2000')" check /data.bin 1 || fail "view with its own access refused"
"$quayadm" --socket "$socket" list-exports | grep -q "	pit	rw	/store1-v3$" || fail "writable view not listed rw"

# --- allow-lists that mean what they say; a host name admits its addresses
expect 100 "property quayAllowedNFSClients must not be empty: use * for every client" \
  set-property 10 quayAllowedNFSClients ''
expect 100 "property quayAllowedNFSClients has [127.0.0.1/33], which is neither *, an address, an IPv4 network a.b.c.d/0-32 nor a host name" \
  set-property 10 quayAllowedNFSClients 127.0.0.1/33
expect 100 "property quayAllowedNFSClients names host [no-such-host.invalid], which does not resolve" \
  set-property 10 quayAllowedNFSClients 10.0.0.1,no-such-host.invalid
"$quayadm" --socket "$socket" show-subclient 10 | grep -q "^quayAllowedNFSClients	10.0.0.0/8$" ||
  fail "a refused value changed the property"
adm set-property 10 quayAllowedNFSClients localhost
adm export update live 10 /store1
"$probe" "$(url /store1 '&uid=1000')" check /data.bin 1 || fail "localhost did not admit 127.0.0.1"
grep -q "INFO: Allowed client \[localhost\] of share \[/store1\] resolves to \[" "$log" || fail "resolution not logged"

# --- a store belongs to the subclient that defined it, also after un-export
adm define-store 50 1 other
adm export unexport live 10 /store1
expect 104 "store [store1] of share [/store1] belongs to subclient 10" export create live 50 /store1
expect 104 "store [store1] belongs to subclient 10" define-store 51 1 store1
expect 104 "store [store1] of share [/store1-x] belongs to subclient 10" \
  set-property 50 quayViewConfiguration '<MntPath>/store1-x</MntPath><NFSClient>*</NFSClient><UID>*</UID><GID>*</GID>'
expect 103 "store [notmystore] of share [/notmystore] is not defined; run define-store 10 <client> notmystore first" \
  export create live 10 /notmystore
[ ! -e "$data/cache/notmystore" ] && [ -z "$(share_id /notmystore)" ] || fail "an undefined store was made"

# --- a failing create shows its reason under the answer
lock="$(find "$data/cache" -name LOCK -path '*store1*' | head -n 1)"
[ -n "$lock" ] || fail "no lock file of store1 in $(find "$data/cache" | head -n 20)"
python3 -c 'import fcntl, sys, time
f = open(sys.argv[1])
fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
print("held", flush=True)
time.sleep(300)' "$lock" > "$data/holder.out" &
holder=$!
kill_on_exit "$holder"
for _ in $(seq 1 100); do grep -q held "$data/holder.out" && break; sleep 0.1; done
grep -q held "$data/holder.out" || fail "the store's lock was not taken"
out="$("$quayadm" --socket "$socket" export create live 10 /store1 2>&1)" && fail "create of a busy store succeeded"
printf '%s\n' "$out" | head -n 1 | grep -q "^1: BackupFSMExport init Failed$" || fail "busy store answered: $out"
printf '%s\n' "$out" | grep -q "^  log: .*store is open in another process" || fail "no reason under the answer: $out"
grep -q " \[admin [0-9]*\] .*store is open in another process" "$log" || fail "reason line not tagged in the log"
kill "$holder"; wait "$holder" 2>/dev/null || true

# --- release-store: refused while exported, then the next subclient takes over
adm export create live 10 /store1
expect 108 "store [store1] is exported as [/store1]; un-export it first" release-store 10 store1
adm export unexport live 10 /store1
expect 0 "store [store1] released by subclient 10 (its store name and 3 view records removed); its data stays for the subclient that defines it next" \
  release-store 10 store1
adm define-store 52 1 store1
adm export create live 52 /store1
"$probe" "$(url /store1)" check /data.bin 1 || fail "the data did not stay for the next owner"
echo "quayd shares ok"
