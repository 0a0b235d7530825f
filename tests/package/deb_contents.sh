#!/usr/bin/env bash
# The Debian package of this build: scripts/package makes it, dpkg -x unpacks
# it into a temporary root, and every file is where it belongs: quayd and
# quayadm in /usr/sbin, the module and its libraries in /usr/lib/quay, the
# unit, the registry and the service's options under /etc (conffiles), the
# data directory /var/lib/quay and the README as documentation. Its control
# data names the version quayd reports and the libraries it needs, and its
# maintainer scripts touch systemd only where it runs. The unpacked quayd
# loads the unpacked module and serves until a stop.
#   deb_contents.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build_dir="$2"
work="$(mktemp -d)"
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

deb="$("$source_dir/scripts/package" "$build_dir" "$work/out" | tail -n 1)" || fail "scripts/package failed"
[ -f "$deb" ] || fail "scripts/package printed [$deb], not a file"
case "$deb" in */quayd_*_*.deb) ;; *) fail "unexpected package name $deb" ;; esac

root="$work/root"
dpkg -x "$deb" "$root" || fail "dpkg -x $deb"
for file in usr/sbin/quayd usr/sbin/quayadm; do
  [ -x "$root/$file" ] || fail "/$file missing or not executable"
done
for library in libBackupFSM.so libquayhost.so libobjectstore.so libconfigclient.so libzelplatform.so; do
  [ -f "$root/usr/lib/quay/$library" ] || fail "/usr/lib/quay/$library missing"
done
[ -f "$root/usr/lib/systemd/system/quayd.service" ] || fail "the systemd unit is missing"
cmp -s "$root/usr/lib/systemd/system/quayd.service" "$source_dir/packaging/quayd.service" || fail "the unit differs from packaging/quayd.service"
[ -f "$root/etc/quay/registry.ini" ] || fail "/etc/quay/registry.ini missing"
grep -qx "\[Quay\]" "$root/etc/quay/registry.ini" || fail "the registry lacks its [Quay] section"
[ -f "$root/etc/default/quayd" ] || fail "/etc/default/quayd missing"
grep -q '^QUAYD_OPTIONS=' "$root/etc/default/quayd" || fail "/etc/default/quayd does not set QUAYD_OPTIONS"
[ -d "$root/var/lib/quay" ] || fail "the data directory /var/lib/quay is missing"
cmp -s "$root/usr/share/doc/quayd/README.md" "$source_dir/README.md" || fail "the README is not the documentation"
# Nothing else, and nothing outside the usual prefixes.
extra="$(cd "$root" && find . -type f | sort | grep -v -x -e ./usr/sbin/quayd -e ./usr/sbin/quayadm \
  -e './usr/lib/quay/lib[A-Za-z]*\.so' -e ./usr/lib/systemd/system/quayd.service -e ./etc/quay/registry.ini \
  -e ./etc/default/quayd -e ./usr/share/doc/quayd/README.md)" || true
[ -z "$extra" ] || fail "files the package should not have: $extra"

# Control data.
[ "$(dpkg-deb -f "$deb" Package)" = quayd ] || fail "package name"
version="$("$root/usr/sbin/quayd" --version | head -n 1)"
case "$version" in *" $(dpkg-deb -f "$deb" Version)"*) ;; *) fail "package version $(dpkg-deb -f "$deb" Version), quayd says [$version]" ;; esac
depends="$(dpkg-deb -f "$deb" Depends)"
for needed in libc6 libsqlite3-0 libtirpc3 libstdc++6; do
  case "$depends" in *"$needed "*|*"$needed,"*|*"$needed") ;; *) fail "Depends lacks $needed: $depends" ;; esac
done
control="$work/control"
dpkg-deb -e "$deb" "$control"
diff <(sort "$control/conffiles") <(printf '/etc/default/quayd\n/etc/quay/registry.ini\n') > /dev/null \
  || fail "conffiles: $(cat "$control/conffiles")"
for script in postinst prerm postrm; do
  [ -x "$control/$script" ] || fail "$script missing or not executable"
  sh -n "$control/$script" || fail "$script does not parse"
  # systemctl and deb-systemd-invoke only where systemd runs (not in a
  # container or chroot): each such line stands inside the guard.
  if grep -q "systemctl\|deb-systemd-invoke" "$control/$script"; then
    grep -q '\[ -d /run/systemd/system \]' "$control/$script" || fail "$script calls systemd without checking it runs"
  fi
done
grep -q 'start' "$control/postinst" || fail "postinst does not start the service"
grep -q 'stop quayd.service' "$control/prerm" || fail "prerm does not stop the service"
grep -q 'rm -rf /var/lib/quay' "$control/postrm" && fail "postrm deletes the data"

# The unpacked programs run from their new place: quayd finds the module in
# ../lib/quay, quayadm its libraries.
info="$(env -u LD_LIBRARY_PATH "$root/usr/sbin/quayd" --info)" || fail "the unpacked quayd cannot load its module: $info"
printf '%s\n' "$info" | grep -q "^Name: BackupFSM$" || fail "quayd --info: $info"
"$root/usr/sbin/quayadm" --version > /dev/null || fail "the unpacked quayadm does not run"

# Started as the unit starts it (its data and log folders moved into the
# temporary root), quayd serves with the packaged registry and stops cleanly.
data="$work/data"
mkdir -p "$data" "$work/log"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
QUAY_DATA_DIR="$data" QUAY_REGISTRY_FILE="$root/etc/quay/registry.ini" QUAY_CLIENT_NAME=deb-check \
  "$root/usr/sbin/quayd" --data-dir "$data" --log-file "$work/log/quayd.log" \
  --nfs-port "$port" --mount-port "$port" --no-rpcbind &
pid=$!
for _ in $(seq 1 200); do
  grep -q "quayd started" "$work/log/quayd.log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || fail "the unpacked quayd exited at start: $(tail -n 20 "$work/log/quayd.log" 2>/dev/null)"
  sleep 0.1
done
grep -q "quayd started" "$work/log/quayd.log" || fail "the unpacked quayd did not start"
"$root/usr/sbin/quayadm" --socket "$data/quayd.sock" list-exports > /dev/null || fail "quayadm cannot reach the unpacked quayd"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "quayd stopped with status $status"
echo "package ok: $(basename "$deb")"
