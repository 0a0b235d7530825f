#!/usr/bin/env bash
# Space comes back, end to end: a file written through NFS and removed again
# stays on disk while the store keeps all history; with a retention of 0
# days, quayadm prune --dry-run reports what a prune frees and changes
# nothing, and quayadm prune gives the space back; the statistics show the
# prune, and a view of a time pruned away is refused with the oldest time
# still available.
set -euo pipefail
quayd="$1"
quayadm="$2"
probe="$3"
source "$(dirname "$0")/../support/quayd_e2e.sh" e2e-prune

fail() { echo "FAIL: $*" >&2; echo "--- quayd log" >&2; tail -n 40 "$log" >&2 || true; exit 1; }
adm() { "$quayadm" --socket "$socket" "$@" > /dev/null || fail "quayadm $*"; }
port="$(free_port)"
url="nfs://127.0.0.1/store1?nfsport=$port&mountport=$port&version=3"
store_kib() { du -sk "$data/cache/store1" | cut -f1; }

launch_quayd --log-level 1 --nfs-port "$port" --mount-port "$port" --no-rpcbind
adm add-client 1 prune-host
adm define-store 10 1 store1
adm export create live 10 /store1
empty="$(store_kib)"

"$probe" "$url" write /big.bin 20 > /dev/null || fail "write 20 MiB"
sleep 1.1
before_removal="$(date +%s)"
sleep 1.1
python3 - "$port" "$(dirname "$0")/../support" <<'PY' || fail "remove /big.bin"
import struct, sys
sys.path.insert(0, sys.argv[2])
from rpc_wire import Connection, NFS, SUCCESS, auth_sys, opaque
failures = []
c = Connection(int(sys.argv[1]), failures)
root = c.mount(1, "/store1")
accept, removed = c.call(2, NFS, 12, opaque(root) + opaque(b"big.bin"), auth_sys(0, 0))
c.expect("REMOVE", (accept, struct.unpack(">I", removed[:4])[0]), (SUCCESS, 0))
for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
PY
written="$(store_kib)"
[ "$written" -gt $((empty + 15000)) ] || fail "the removed file's data should still be on disk: $empty KiB empty, $written KiB now"

# --- all history kept: a prune frees nothing of it
"$quayadm" --socket "$socket" prune 10 | grep -q "^retention	all history$" || fail "retention without a property"

# --- retention 0: the dry run reports, the prune frees
adm set-property 10 quayRetentionDays 0
dry="$("$quayadm" --socket "$socket" prune 10 --dry-run)" || fail "dry run: $dry"
printf '%s\n' "$dry" | head -n 1 | grep -q "^0: a prune of \[/store1\] would free 2[0-9]\.[0-9] MiB$" || fail "dry run answered [$dry]"
now="$(store_kib)"
[ "$now" -ge $((written - 1024)) ] || fail "the dry run changed the store: $written KiB before, $now KiB after"
out="$("$quayadm" --socket "$socket" prune 10)" || fail "prune: $out"
printf '%s\n' "$out" | head -n 1 | grep -q "^0: pruned \[/store1\]: freed 2[0-9]\.[0-9] MiB$" || fail "prune answered [$out]"
after="$(store_kib)"
[ "$after" -le $((empty + 1024)) ] || fail "space not back: $empty KiB empty, $written KiB written, $after KiB after the prune"
grep -q "INFO: Pruned store \[/store1\] of subclient \[10\]: freed" "$log" || fail "prune not logged"

# --- the statistics show it; a view of the time before the removal is gone
stats="$("$quayadm" --socket "$socket" stats 10 /store1)" || fail "stats: $stats"
printf '%s\n' "$stats" | grep -q "^Last prune	[0-9-]* [0-9:]* UTC$" || fail "stats without the prune: $stats"
printf '%s\n' "$stats" | grep -q "^Retention	0 s$" || fail "stats without the retention: $stats"
refused="$("$quayadm" --socket "$socket" add-view 10 /store1-old "$before_removal" 1 0 2>&1)" && fail "view of a pruned time added"
printf '%s\n' "$refused" | head -n 1 | grep -q "^103: the store of subclient 10 no longer holds the state of .*: the oldest time still available is " \
  || fail "refusal of a pruned view: [$refused]"
"$quayadm" --socket "$socket" list-views 10 | head -n 1 | grep -q "the oldest time still available is " || fail "list-views without the oldest time"
kill -0 "$pid" || fail "quayd died"
echo "prune ok"
