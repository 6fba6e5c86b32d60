#!/usr/bin/env bash
# Cross-checks the FX simulator and velctl with node-fxplc (npm, MIT), an independent FX client: raw
# reads and writes, and every device type by name in both directions (node_fxplc_check.js).
# Usage: node_fxplc_check.sh [PATH_TO_VELSIM [PATH_TO_VELCTL]]
# Exit 0 passed, 1 failed, 77 skipped (no node/npm, or node-fxplc cannot be installed, e.g. offline).
# node-fxplc is installed into a scratch folder that is removed afterwards; set NODE_FXPLC_DIR to an
# existing folder to reuse (and keep) an installation there.
set -u
here=$(cd "$(dirname "$0")" && pwd)
velsim=${1:-$here/../../build/bin/velsim}
velctl=${2:-$(dirname "$velsim")/velctl}
version=0.1.6

command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || { echo "SKIP: node or npm not found"; exit 77; }
[ -x "$velsim" ] || { echo "FAIL: velsim not found at $velsim"; exit 1; }
[ -x "$velctl" ] || { echo "FAIL: velctl not found at $velctl"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velsim-node.XXXXXX")
pid=
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

modules=${NODE_FXPLC_DIR:-$work/npm}
mkdir -p "$modules"
if [ ! -d "$modules/node_modules/node-fxplc" ]; then
  # serialport's native part comes prebuilt inside its package (linux-x64 and others): nothing is compiled.
  if ! (cd "$modules" && timeout 90 npm install --prefer-offline --no-save --no-audit --no-fund --no-package-lock \
          --loglevel=error "node-fxplc@$version" >"$work/npm.log" 2>&1); then
    echo "SKIP: cannot install node-fxplc@$version from the npm registry:"
    tail -n 5 "$work/npm.log"
    exit 77
  fi
fi
if ! NODE_PATH="$modules/node_modules" node -e "require('node-fxplc'); require('serialport')" 2>"$work/load.log"; then
  echo "SKIP: node-fxplc or serialport does not load here:"
  tail -n 5 "$work/load.log"
  exit 77
fi

# Memory image: byte i & 0xFF at address i, for the first 4 KiB.
python3 -c "import sys; sys.stdout.buffer.write(bytes(i & 0xFF for i in range(4096)))" >"$work/image.bin" 2>/dev/null ||
  perl -e 'print chr($_ & 255) for 0..4095' >"$work/image.bin"

"$velsim" --model fx2n --dir "$work" --com 1 --trace --memory "$work/image.bin" >"$work/velsim.log" 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q '^velsim: FX controller' "$work/velsim.log" && break
  sleep 0.05
done
grep -q '^velsim: FX controller' "$work/velsim.log" || { echo "FAIL: velsim did not start"; cat "$work/velsim.log"; exit 1; }

# velctl reaches the simulator's COM1 and nothing else.
while IFS= read -r name; do unset "$name"; done < <(compgen -e | grep '^VELDRV_')
NODE_PATH="$modules/node_modules" VELDRV_DEVICE_DIR="$work" VELDRV_COM1="$work/COM1" \
  timeout 90 node "$here/node_fxplc_check.js" "$work/COM1" "$velctl"
rc=$?
echo "--- velsim trace"
cat "$work/velsim.log"
if [ $rc -ne 0 ]; then echo "FAIL: node-fxplc check"; exit 1; fi
if grep -q " error: " "$work/velsim.log"; then echo "FAIL: velsim counted protocol errors"; exit 1; fi
echo "PASS: node-fxplc and velctl agree on the FX devices of the simulator"
exit 0
