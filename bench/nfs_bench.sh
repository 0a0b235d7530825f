#!/usr/bin/env bash
# NFS benchmark, not a test: quayd and NFS-Ganesha 4.3 (VFS export of a folder
# on the same disk) measured in the same run with the same libnfs client
# (nfs_bench), each figure with its ratio to Ganesha's and its target. Each
# run starts both servers afresh (in alternating order) on free loopback
# ports; the report gives medians over the runs.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

usage() {
  cat <<'TEXT'
usage: bench/nfs_bench.sh [options] [BUILD_DIR]      (BUILD_DIR: build)
  --runs N            repetitions; the report gives medians (1)
  --quick             small sizes, to check the harness: --files 100 --list 1600 --store 10000 --mib 32
  --files N           small files per client, the smallest listing, the create-rate window (1000)
  --clients "1 4 16"  client counts of the small-file figures
  --list N            the middle listing (16000)
  --store N           objects of the create-rate stores, the biggest listing, stat/GETATTR (100000)
  --fill-clients N    clients writing the untimed files between (4)
  --mib N             MiB written and read, by 1 and by 4 streams between them (512)
  --warm-mib N        MiB of page cache filled and freed right before each workload (the stream
                      workloads --mib more), so that the pages a server then fills are ones the
                      host backs; 0: none (256). See warm_page_cache in bench/nfs/workloads.sh.
  --nfs-version V     3, or 4 for a server that serves NFSv4 (3)
  --servers "S..."    quayd and/or ganesha ("quayd ganesha")
  --workloads "W..."  any of: stream small list same spread (all)
  --attach 'CMD'      runs 'CMD -p PID' on each server process during each workload; %s, %w and
                      %r in CMD become server, workload and run, e.g.
                      --attach 'perf record -e cpu-clock -g -o /tmp/prof/%s-%w.data'
  --attach-to GLOB    only to the workloads whose names match, e.g. 'create_*' (all)
  --raw FILE          keep the raw figures (one "fig RUN SERVER NAME VALUE UNIT" line each)
  --keep              keep the servers' data (stores, exported folder) for a look afterwards
TEXT
}

build=build runs=1 nfs_version=3 servers="quayd ganesha" workloads="" attach="" attach_to="*" raw="" keep=""
files=1000 clients="1 4 16" list_files=16000 store_files=100000 mib=512
streams="1 4" spread_dirs=100 fill_clients=4 samples=1000 warm_mib=256
parse_options() {
  while [ $# -gt 0 ]; do
    case "$1" in
      --runs) runs="$2"; shift ;;
      --quick) files=100 list_files=1600 store_files=10000 mib=32 ;;
      --files) files="$2"; shift ;;
      --clients) clients="$2"; shift ;;
      --list) list_files="$2"; shift ;;
      --store) store_files="$2"; shift ;;
      --fill-clients) fill_clients="$2"; shift ;;
      --mib) mib="$2"; shift ;;
      --warm-mib) warm_mib="$2"; shift ;;
      --nfs-version) nfs_version="$2"; shift ;;
      --servers) servers="$2"; shift ;;
      --workloads) workloads="$2"; shift ;;
      --attach) attach="$2"; shift ;;
      --attach-to) attach_to="$2"; shift ;;
      --raw) raw="$2"; shift ;;
      --keep) keep=1 ;;
      -h|--help) usage; exit 0 ;;
      -*) usage >&2; exit 2 ;;
      *) build="$1" ;;
    esac
    shift
  done
  window="$files"
}

source "$here/nfs/processes.sh"
source "$here/nfs/quayd_server.sh"
source "$here/nfs/ganesha_server.sh"
source "$here/nfs/workloads.sh"

attach_pid=""
attach_start() {
  [ -n "$attach" ] || return 0
  # shellcheck disable=SC2053
  [[ "$2" == $attach_to ]] || return 0
  local command="${attach//%s/$1}"
  command="${command//%w/$2}"
  command="${command//%r/$run}"
  $command -p "$("${1}_server_pid")" &
  attach_pid=$!
  sleep 1  # lets the tool attach before the workload starts
}
# perf and strace finish their output on SIGINT; a tool that ignores it (a
# shell script started in the background does) gets SIGTERM after 5 s.
attach_stop() {
  [ -n "$attach_pid" ] || return 0
  kill -INT "$attach_pid" 2>/dev/null || true
  for _ in $(seq 1 50); do kill -0 "$attach_pid" 2>/dev/null || break; sleep 0.1; done
  stop_process "$attach_pid"
  attach_pid=""
}
quayd_server_pid() { echo "$quayd_pid"; }
ganesha_server_pid() { echo "$ganesha_pid"; }

# server_cpu_ms SERVER: the CPU time (user + system) the server has used so far.
server_cpu_ms() {
  local ticks
  ticks="$(awk '{ print $14 + $15 }' "/proc/$("${1}_server_pid")/stat")"
  echo $((ticks * 1000 / clock_ticks))
}

# peak_rss SERVER: the server's peak resident memory (VmHWM) in MiB.
peak_rss() {
  local pid kib
  pid="$("${1}_server_pid")"
  kib="$(awk '$1 == "VmHWM:" { print $2 }' "/proc/$pid/status")"
  echo "fig $run $1 peak_rss $(echo "$kib / 1024" | bc -l) MiB" >> "$raw"
  printf '  %-8s %-28s %12.1f MiB\n' "$1" peak_rss "$(echo "$kib / 1024" | bc -l)"
}

# measure_server SERVER: fresh server, every workload, its peak memory.
measure_server() {
  local server="$1" workload
  echo "== run $run/$runs: $server"
  # shellcheck disable=SC2046
  "${server}_start" "$data/$server-$run" $(workload_shares)
  for workload in ${workloads:-$(workload_shares)}; do "workload_$workload" "$server"; done
  peak_rss "$server"
  "${server}_stop"
  if [ -n "$keep" ]; then echo "kept $data/$server-$run"; else rm -rf "${data:?}/$server-$run"; fi
}

cleanup() {
  attach_stop
  quayd_stop
  ganesha_stop
  rpcbind_release
  [ -n "$keep" ] || rm -rf "$data"
  [ -n "$keep_raw" ] || rm -f "$raw"
}

main() {
  parse_options "$@"
  clock_ticks="$(getconf CLK_TCK)"
  data="$(mktemp -d "${TMPDIR:-/var/tmp}/nfsbench.XXXXXX")"
  keep_raw="$raw"
  [ -n "$raw" ] || raw="$data.raw"
  : > "$raw"
  trap cleanup EXIT
  echo "sizes: $files files per client (clients: $clients), listings $files/$list_files/$store_files," \
    "stores of $store_files (window $window, spread over $spread_dirs), $mib MiB; NFSv$nfs_version; data $data"
  local order
  for run in $(seq 1 "$runs"); do
    echo "load $run $(uptime)" | tee -a "$raw"
    order="$servers"
    [ $((run % 2)) = 1 ] || order="$(echo "$servers" | awk '{ for (i = NF; i > 0; --i) printf "%s ", $i }')"
    for server in $order; do measure_server "$server"; done
  done
  echo "== medians of $runs run(s); ratio = quayd / Ganesha (median of per-run ratios)"
  python3 "$here/nfs/nfs_bench_report.py" "$raw"
}

main "$@"
