#!/usr/bin/env bash
# The systemd unit: systemd-analyze verify accepts it (with ExecStart pointed
# at the built quayd, as the package's is not installed here), and it says
# what the service relies on: Type=notify, restart on failure, reload by
# SIGHUP, the hardening, and the folders it may write.
#   unit_verify.sh UNIT QUAYD
set -euo pipefail
unit="$1"
quayd="$2"
fail() { echo "FAIL: $*" >&2; exit 1; }

has() { grep -qx -- "$1" "$unit" || fail "the unit lacks the line [$1]"; }
has "Type=notify"
has "NotifyAccess=main"
has "Restart=on-failure"
has 'ExecReload=/bin/kill -HUP $MAINPID'
has "NoNewPrivileges=yes"
has "ProtectSystem=strict"
has "ReadWritePaths=/var/lib/quay /var/log/quay"
has "ProtectHome=yes"
has "PrivateTmp=yes"
has "CapabilityBoundingSet=CAP_NET_BIND_SERVICE"
has "StateDirectory=quay"
has "LogsDirectory=quay"
has "WantedBy=multi-user.target"
grep -q '^ExecStart=/usr/sbin/quayd --data-dir /var/lib/quay --log-file /var/log/quay/quayd.log \$QUAYD_OPTIONS$' "$unit" \
  || fail "ExecStart is not the one the package's layout and README describe"
# Every option the unit passes is one quayd knows.
"$quayd" --help | grep -q "^  --data-dir DIR " || fail "quayd --help lacks --data-dir"
"$quayd" --help | grep -q "^  --log-file FILE " || fail "quayd --help lacks --log-file"

if ! command -v systemd-analyze > /dev/null; then
  echo "SKIP: systemd-analyze is not installed (scripts/setup installs Debian's systemd package, which has it)"
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sed "s#^ExecStart=/usr/sbin/quayd #ExecStart=$quayd #" "$unit" > "$work/quayd.service"
out="$(systemd-analyze verify "$work/quayd.service" 2>&1)" || fail "systemd-analyze verify: $out"
# verify only warns about unknown or misspelt settings: none may be there.
[ -z "$out" ] || fail "systemd-analyze verify had remarks: $out"
echo "unit ok"
