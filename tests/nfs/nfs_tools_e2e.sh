#!/usr/bin/env bash
# NFS end to end with Debian's libnfs tools: quayd serves a share on free
# loopback ports; nfs-ls, nfs-cp and nfs-cat list, write and read it. Also:
# a PIT view keeps the old contents, a read-only view refuses writes, an
# allow-list without this client refuses the mount, data survives a restart.
set -euo pipefail
quayd="$1"
quayadm="$2"
source "$(dirname "$0")/../support/quayd_e2e.sh" nfs-e2e

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; grep -i "nfs\|error" "$log" | tail -n 30 >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }

nfs_port="$(free_port)"
mount_port="$(free_port)"
while [ "$mount_port" = "$nfs_port" ]; do mount_port="$(free_port)"; done
opts="?nfsport=$nfs_port&mountport=$mount_port&version=3"
url() { printf 'nfs://127.0.0.1%s%s' "$1" "$opts"; }

start_quayd() {
  launch_quayd --log-level 2 --nfs-port "$nfs_port" --mount-port "$mount_port" --no-rpcbind
}
stop_quayd() { kill -TERM "$pid"; wait "$pid" || fail "quayd exited with $?"; pid=""; }

start_quayd
grep -q "INFO: NFS service listening on \[127.0.0.1\] port \[$nfs_port\], mount port \[$mount_port\]" "$log" ||
  fail "no listening line"
adm add-client 1 nfs-host
adm add-subclient 10 1 backups
adm define-store 10 1 store1
adm export create live 10 /store1

# --- empty share, then files written and read back
[ -z "$(nfs-ls "$(url /store1)")" ] || fail "new share is not empty"
head -c 3145728 /dev/urandom > "$data/big.bin"     # three 1 MiB WRITEs and a COMMIT
printf 'first version\n' > "$data/small.txt"
nfs-cp "$data/big.bin" "$(url /store1/big.bin)" > /dev/null || fail "nfs-cp big"
nfs-cp "$data/small.txt" "$(url /store1/small.txt)" > /dev/null || fail "nfs-cp small"
nfs-cat "$(url /store1/big.bin)" | cmp - "$data/big.bin" || fail "big.bin read back differs"
[ "$(nfs-cat "$(url /store1/small.txt)")" = "first version" ] || fail "small.txt read back differs"
nfs-cp "$(url /store1/big.bin)" "$data/copy.bin" > /dev/null || fail "nfs-cp from the share"
cmp "$data/copy.bin" "$data/big.bin" || fail "copy differs"
listing="$(nfs-ls "$(url /store1)")"
echo "$listing" | grep -q " 3145728 big.bin$" || fail "listing lacks big.bin: $listing"
echo "$listing" | grep -q " 14 small.txt$" || fail "listing lacks small.txt: $listing"
[ "$(echo "$listing" | wc -l)" -eq 2 ] || fail "listing has other entries: $listing"

# --- errors
out="$(nfs-cat "$(url /store1/missing.txt)" 2>&1 || true)"
case "$out" in *"Failed to open"*) ;; *) fail "missing file answered: $out" ;; esac
out="$(nfs-ls "$(url /nosuchshare)" 2>&1 || true)"
case "$out" in *"Failed to mount"*) ;; *) fail "unknown share answered: $out" ;; esac

# --- a PIT view taken now does not show what the live store gets later
sleep 1.1
adm add-view 10 /store1-then "$(date +%s)" 1 0
adm export create pit 10 /store1-then
sleep 1.1
printf 'later\n' > "$data/later.txt"
nfs-cp "$data/later.txt" "$(url /store1/later.txt)" > /dev/null || fail "nfs-cp later.txt"
[ "$(nfs-cat "$(url /store1/later.txt)")" = "later" ] || fail "live store lacks later.txt"
then_listing="$(nfs-ls "$(url /store1-then)")"
echo "$then_listing" | grep -q " small.txt$" || fail "PIT view lacks small.txt: $then_listing"
! echo "$then_listing" | grep -q "later.txt" || fail "PIT view shows a later file: $then_listing"
[ "$(nfs-cat "$(url /store1-then/small.txt)")" = "first version" ] || fail "PIT view reads other contents"
out="$(nfs-cp "$data/later.txt" "$(url /store1/small.txt)" 2>&1 || true)"
case "$out" in *"NFS3ERR_EXIST"*) ;; *) fail "exclusive create over a file answered: $out" ;; esac
out="$(nfs-cp "$data/later.txt" "$(url /store1-then/new.txt)" 2>&1 || true)"
case "$out" in *"NFS3ERR_ROFS"*) ;; *) fail "read-only view took a write: $out" ;; esac

# --- an allow-list without this client refuses the mount
adm set-property 10 quayAllowedNFSClients 10.0.0.0/8
adm export update live 10 /store1
out="$(nfs-ls "$(url /store1)" 2>&1 || true)"
case "$out" in *"Failed to mount"*) ;; *) fail "refused client could list: $out" ;; esac
grep -q "INFO: NFS: mount of \[/store1\] by \[127.0.0.1\] answered \[13\]" "$log" || fail "refusal not logged"
adm set-property 10 quayAllowedNFSClients '*'
adm export update live 10 /store1

# --- a restart keeps the data
stop_quayd
grep -q "INFO: NFS service stopped" "$log" || fail "no stop line"
start_quayd
for _ in $(seq 1 100); do
  nfs-ls "$(url /store1)" > /dev/null 2>&1 && break
  sleep 0.2
done
nfs-cat "$(url /store1/big.bin)" | cmp - "$data/big.bin" || fail "big.bin differs after restart"
kill -0 "$pid" || fail "quayd died"
echo "nfs tools story ok: ports $nfs_port $mount_port"
