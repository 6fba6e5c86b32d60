#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs them all; prints one table with every
# target and whether it held, and keeps a copy in build-bench/bench-results.md.
# Usage: bench/run_benchmarks.sh [velbench options, e.g. --only paced,timeout]
# Environment: VELBENCH_BUILD_DIR (default: build-bench next to bench/), VELBENCH_NO_NODE=1 skips the
# node-fxplc comparison. Exit status 1 when a target was missed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELBENCH_BUILD_DIR:-$root/build-bench}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELDRV_BENCH=ON >&2
cmake --build "$build" --target velbench velsim -j2 >&2

# node-fxplc (npm) for the comparison with an independent FX client; serialport's native part comes
# prebuilt inside its package, nothing is compiled. Installed once into build-bench/node-fxplc.
node_args=(--node-skip "node or npm not found")
modules=$build/node-fxplc
if [ "${VELBENCH_NO_NODE:-0}" = 1 ]; then
  node_args=(--node-skip "VELBENCH_NO_NODE=1")
elif command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; then
  mkdir -p "$modules"
  if [ ! -d "$modules/node_modules/node-fxplc" ] &&
     ! (cd "$modules" && timeout 90 npm install --prefer-offline --no-save --no-audit --no-fund \
          --no-package-lock --loglevel=error node-fxplc@0.1.6 >"$build/npm.log" 2>&1); then
    node_args=(--node-skip "npm install node-fxplc@0.1.6 failed (see $build/npm.log)")
  elif NODE_PATH="$modules/node_modules" node -e "require('node-fxplc'); require('serialport')" 2>/dev/null; then
    node_args=(--node-modules "$modules/node_modules")
  else
    node_args=(--node-skip "node-fxplc or serialport does not load here")
  fi
fi

status=0
"$build/bin/velbench" "${node_args[@]}" "$@" | tee "$build/bench-results.md" || status=$?
echo "Reproduce: bench/run_benchmarks.sh   (table kept in $build/bench-results.md)" >&2
exit $status
