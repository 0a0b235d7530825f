# NFS-Ganesha for bench/nfs_bench.sh (sourced): a VFS export of a folder on
# the same disk as quayd's stores, one subfolder per share, on free loopback
# ports (never 2049/20048). Ganesha registers with rpcbind at its start: one
# is started here when none runs, and stopped again at the end. Uses: nfs_version,
# free_port, wait_listening, stop_process (from the caller).
ganesha_pid=""
ganesha_port=""
ganesha_mount_port=""
ganesha_export=""
rpcbind_pid=""

rpcbind_ensure() {
  pgrep -x rpcbind > /dev/null && return 0
  rpcbind -f &
  rpcbind_pid=$!
  for _ in $(seq 1 50); do [ -S /run/rpcbind.sock ] && return 0; sleep 0.1; done
}

# Stops only an rpcbind started here; it leaves its socket behind, which would
# make quayd (and other servers) try to register with a dead rpcbind.
rpcbind_release() {
  [ -n "$rpcbind_pid" ] || return 0
  stop_process "$rpcbind_pid"
  rm -f /run/rpcbind.sock
  rpcbind_pid=""
}

# ganesha_config DIR: its configuration on stdout.
ganesha_config() {
  cat <<CONF
NFS_CORE_PARAM {
  NFS_Port = $ganesha_port; MNT_Port = $ganesha_mount_port; Bind_addr = 127.0.0.1;
  Protocols = $nfs_version; Enable_NLM = false; Enable_RQUOTA = false; Enable_UDP = false;
}
# In its grace period Ganesha answers JUKEBOX, even to an NFSv3 SETATTR.
NFSV4 { Graceless = true; }
NFS_KRB5 { Active_krb5 = false; }
EXPORT {
  Export_Id = 1; Path = $ganesha_export; Pseudo = /bench; Access_Type = RW;
  Squash = No_Root_Squash; Protocols = $nfs_version; Transports = TCP; SecType = sys;
  FSAL { Name = VFS; }
}
CONF
}

# ganesha_start DATA_DIR SHARE...
ganesha_start() {
  local data="$1"; shift
  command -v ganesha.nfsd > /dev/null || { echo "nfs_bench: ganesha.nfsd missing (scripts/setup installs it)" >&2; return 1; }
  rpcbind_ensure
  ganesha_export="$data/export"
  local share
  for share in "$@"; do mkdir -p "$ganesha_export/$share"; done
  ganesha_port="$(free_port)"
  ganesha_mount_port="$(free_port)"
  ganesha_config > "$data/ganesha.conf"
  ganesha.nfsd -F -f "$data/ganesha.conf" -L "$data/ganesha.log" -N NIV_WARN -p "$data/ganesha.pid" &
  ganesha_pid=$!
  wait_listening "$ganesha_port" "$ganesha_pid" || { echo "nfs_bench: see $data/ganesha.log" >&2; return 1; }
}

# ganesha_target SHARE: the export's URL (NFSv3 mounts the folder, NFSv4 the
# pseudo path) and the share's folder in it.
ganesha_target() {
  local path="$ganesha_export"
  [ "$nfs_version" = 3 ] || path=/bench
  echo "nfs://127.0.0.1$path?nfsport=$ganesha_port&mountport=$ganesha_mount_port&version=$nfs_version" "/$1"
}

ganesha_stop() {
  stop_process "$ganesha_pid"
  ganesha_pid=""
}
