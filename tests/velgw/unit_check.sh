#!/usr/bin/env bash
# velgw.service as systemd reads it: systemd-analyze verify finds nothing to
# say about it (with the built program in place of /usr/bin/velgw).
# Usage: unit_check.sh BUILD_DIR. Exit 77 without systemd-analyze.
set -euo pipefail
build="$(cd "$1" && pwd)"
repo="$(cd "$(dirname "$0")/../.." && pwd)"
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing (apt-get install systemd)"; exit 77; }
work="$(mktemp -d /tmp/velgw-unit-XXXXXX)"
trap 'rm -rf "$work"' EXIT
sed "s|/usr/bin/velgw|$build/bin/velgw|" "$repo/velgw/velgw.service" >"$work/velgw.service"
out="$(systemd-analyze verify --man=no "$work/velgw.service" 2>&1)" || { echo "$out"; exit 1; }
[[ -z "$out" ]] || { echo "systemd-analyze verify: $out"; exit 1; }
grep -qx 'ExecStart=/usr/bin/velgw --config /etc/velgw/velgw.toml' "$repo/velgw/velgw.service"
echo "velgw.service: verified"
