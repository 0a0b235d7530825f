# The workloads of bench/nfs_bench.sh (sourced), each a group that needs only
# its own share, so any subset can run. Uses from the caller: build, run,
# raw, the sizes (files, clients, list_files, store_files, window, spread_dirs,
# fill_clients, samples, mib, streams, warm_mib), attach_start/attach_stop and server_cpu_ms.
workload_shares() { echo stream small list same spread; }

# warm_page_cache MIB: writes MIB MiB into a file and removes it. On a virtual
# machine whose host takes back the memory the guest leaves free (a balloon
# that reports free pages), the first touch of such a page faults on the host:
# here, filling 512 MiB of page cache took 2.4 s of a server's CPU that way and
# 0.5 s with pages freed just before. Which server met such pages depended on
# what ran before it, so before each workload pages are freed for it to take.
warm_page_cache() {
  [ "$1" -gt 0 ] || return 0
  dd if=/dev/zero of="$data/warm" bs=1M count="$1" status=none
  rm -f "$data/warm"
}

# measure SERVER NAME SHARE SUBDIR WORKLOAD [nfs_bench options...]: one
# nfs_bench run; its figures, and the server's CPU time over it, go to the
# raw file and the screen.
measure() {
  local server="$1" name="$2" share="$3" subdir="$4" workload="$5"; shift 5
  local url prefix out status=0 cpu_before warm="$warm_mib"
  [ "$workload" != stream ] || [ "$warm" = 0 ] || warm=$((warm + mib))
  read -r url prefix < <("${server}_target" "$share")
  attach_start "$server" "$name"
  warm_page_cache "$warm"
  cpu_before="$(server_cpu_ms "$server")"
  out="$("$build/bin/nfs_bench" "$url" "$workload" --dir "$prefix/$subdir" "$@")" || status=$?
  echo "cpu $run $server $name $(($(server_cpu_ms "$server") - cpu_before))" >> "$raw"
  attach_stop
  [ "$status" = 0 ] || { echo "nfs_bench: $server $name failed" >&2; return 1; }
  local figure value unit
  while read -r figure value unit; do
    [ -n "$figure" ] || continue
    echo "fig $run $server $figure $value $unit" >> "$raw"
    printf '  %-8s %-28s %12s %s\n' "$server" "$figure" "$value" "$unit"
  done <<< "$out"
}

workload_stream() {
  local server="$1" n
  for n in $streams; do
    measure "$server" "stream_$n" stream "s$n" stream --mib "$mib" --clients "$n"
  done
}

# A client's directory of the first small-file figure is the smallest listing.
workload_small() {
  local server="$1" n
  for n in $clients; do
    measure "$server" "small_$n" small "c$n" small --clients "$n" --files "$files"
  done
  measure "$server" "list_$files" small "c${clients%% *}/d0" list --files "$files"
}

# grow SERVER SHARE NAME DIRS: a fresh store's create rate at its start and
# at its end, the files between written untimed by several clients.
grow() {
  local server="$1" share="$2" name="$3" dirs="$4" layout=(--dirs "$4")
  measure "$server" "mkdirs_$name" "$share" f mkdirs "${layout[@]}"
  measure "$server" "create_${name}_first" "$share" f create "${layout[@]}" --from 0 --to "$window" \
    --name "create_${name}_first"
  measure "$server" "fill_$name" "$share" f fill "${layout[@]}" --from "$window" --to "$((store_files - window))" \
    --fill-clients "$fill_clients"
  measure "$server" "create_${name}_last" "$share" f create "${layout[@]}" --from "$((store_files - window))" \
    --to "$store_files" --name "create_${name}_last"
}

workload_list() {
  local server="$1"
  measure "$server" "mkdirs_list" list l mkdirs --dirs 0
  measure "$server" "fill_list" list l fill --dirs 0 --from 0 --to "$list_files" --fill-clients "$fill_clients"
  measure "$server" "list_$list_files" list l list --files "$list_files"
}

# One store grown in one directory; it is also the biggest listing.
workload_same() {
  local server="$1"
  grow "$server" same same 0
  measure "$server" "list_$store_files" same f list --files "$store_files"
}

workload_spread() {
  local server="$1"
  grow "$server" spread spread "$spread_dirs"
  measure "$server" attr spread f attr --files "$store_files" --dirs "$spread_dirs" --samples "$samples"
}
