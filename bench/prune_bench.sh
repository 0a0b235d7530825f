#!/usr/bin/env bash
# Retention benchmark: how much space a prune gives back and what it costs a
# client writing meanwhile. In one run, on a fresh quayd each:
#   noview  write MIB MiB in FILES files through NFS, remove them, prune with a
#           retention of 0 days and no views;
#   view    the same with a view taken when half the files are written, which
#           pins that half.
# Reports the store's bytes on disk (allocated, du) before, after the writes,
# after the removal and after the prune, and the prune's duration. Then the
# data is written and removed once more, and one client writes WRITER_MIB MiB
# (1 MiB writes) to the store alone, again while that second prune runs
# (both started together) and once more alone after it: the rates and the
# ratios of the one during the prune to the others.
#
# usage: bench/prune_bench.sh [--mib 1024] [--files 64] [--writer-mib 256] [--data DIR] BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
mib=1024 files=64 writer_mib=256 data_root="${TMPDIR:-/var/tmp}"
while [ $# -gt 1 ]; do
  case "$1" in
    --mib) mib="$2"; shift 2 ;;
    --files) files="$2"; shift 2 ;;
    --writer-mib) writer_mib="$2"; shift 2 ;;
    --data) data_root="$2"; shift 2 ;;
    *) echo "prune_bench: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -eq 1 ] || { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
build="$(cd "$1" && pwd)"
nfs_version=3

source "$here/nfs/processes.sh"
source "$here/nfs/quayd_server.sh"

work="$(mktemp -d "$data_root/prunebench.XXXXXX")"
trap 'quayd_stop; rm -rf "$work"' EXIT

store_bytes() { du -s --block-size=1 "$data/cache/store1" | cut -f1; }
mib_of() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
bench() { "$build/bin/nfs_bench" "$(quayd_target store1 | cut -d' ' -f1)" "$@"; }
adm() { "$build/bin/quayadm" --socket "$data/quayd.sock" "$@"; }
figure() { printf '%-34s %12s %s\n' "$1" "$2" "$3"; echo "RESULT scenario=$scenario name=$1 value=$2 unit=$3" >> "$work/results"; }

# write_and_remove: the scenario's data written (with the view in the
# middle, for the view scenario) and removed again.
write_and_remove() {
  local half_files=$((files / 2)) round="$1"
  bench bulk --dir "/b1$round" --files "$half_files" --mib $((mib / 2)) --clients 4 > /dev/null
  if [ "$scenario" = view ] && [ "$round" = 1 ]; then
    # The view pins the first half: written before its time, removed after.
    sleep 1.1
    adm add-view 10 /store1-view "$(date +%s)" 1 0 > /dev/null
    sleep 1.1
  fi
  bench bulk --dir "/b2$round" --files "$half_files" --mib $((mib / 2)) --clients 4 > /dev/null
  written="$(store_bytes)"
  bench unbulk --dir "/b1$round" --files "$half_files"
  bench unbulk --dir "/b2$round" --files "$half_files"
}

seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'; }

run_scenario() {
  scenario="$1"
  data="$work/$scenario"
  quayd_start "$data" store1
  adm set-property 10 quayRetentionDays 0 > /dev/null
  echo "== $scenario"
  local before written start pruned
  before="$(store_bytes)"
  figure bytes_before "$(mib_of "$before")" MiB
  write_and_remove 1
  figure bytes_after_writes "$(mib_of "$written")" MiB
  figure bytes_after_removal "$(mib_of "$(store_bytes)")" MiB
  start="$(date +%s.%N)"
  adm prune 10 > "$work/prune.out"
  figure prune_seconds "$(seconds_since "$start")" s
  pruned="$(store_bytes)"
  figure bytes_after_prune "$(mib_of "$pruned")" MiB
  # Goal: back to the size before the writes, plus what the view pins.
  local pinned=0
  [ "$scenario" = view ] && pinned=$((mib / 2 * 1048576))
  figure over_goal_percent "$(awk -v p="$pruned" -v b="$before" -v k="$pinned" -v w="$((mib * 1048576))" \
    'BEGIN { printf "%.1f", (p - b - k) * 100 / w }')" "% of the data written"
  sed 's/^/  prune: /' "$work/prune.out"

  # The same again, now with one client writing to the store alone, and
  # then while the prune runs (both started together).
  write_and_remove 2
  local alone during writer
  # Each write rate starts with the disk idle: nothing of the writes before
  # it left to flush.
  sync
  alone="$(bench stream --dir /w1 --mib "$writer_mib" --clients 1 | awk '$1 == "write_1_stream" { print $2 }')"
  sync
  bench stream --dir /w2 --mib "$writer_mib" --clients 1 > "$work/during" &
  writer=$!
  start="$(date +%s.%N)"
  adm prune 10 > /dev/null
  figure prune_under_load_seconds "$(seconds_since "$start")" s
  wait "$writer"
  during="$(awk '$1 == "write_1_stream" { print $2 }' "$work/during")"
  # And alone again on the pruned store: a store that holds much removed,
  # unpruned data writes more slowly, so the rate before the prune is the
  # lower bound to compare with.
  sync
  local after
  after="$(bench stream --dir /w3 --mib "$writer_mib" --clients 1 | awk '$1 == "write_1_stream" { print $2 }')"
  figure writer_alone "$alone" MiB/s
  figure writer_during_prune "$during" MiB/s
  figure writer_after_prune "$after" MiB/s
  figure writer_ratio "$(awk -v a="$alone" -v d="$during" 'BEGIN { printf "%.2f", d / a }')" -
  figure writer_ratio_to_after "$(awk -v a="$after" -v d="$during" 'BEGIN { printf "%.2f", d / a }')" -
  quayd_stop
}

echo "prune benchmark: $mib MiB in $files files, writer $writer_mib MiB; data $work"
echo "load $(uptime)"
run_scenario noview
run_scenario view
cat "$work/results"
