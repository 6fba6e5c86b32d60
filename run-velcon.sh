#!/usr/bin/env bash
# Runs velcon against a simulated controller: builds if needed, starts velsim
# on a pseudo-terminal in a private temporary folder, and runs velcon on
# COM1 there, attached to this terminal. The simulator stops when velcon ends.
set -euo pipefail

usage() {
  cat <<'TEXT'
Usage: ./run-velcon.sh [fx|a] [--trace] [--no-build]

Runs the console test program velcon against the controller simulator velsim,
so the menu can be tried without a controller.

  fx          simulate an FX-series controller (default)
  a           simulate an A-series controller
  --trace     keep the simulator's trace of decoded frames and show it
              after velcon ends
  --no-build  use the binaries as they are (no cmake run)
  -h, --help  show this text

The build directory is build/ next to this script (VELCON_BUILD_DIR overrides
it). A folder without a build is configured with the settings of the README's
test command (cmake --preset default), so that command later builds only what
is still missing; velcon and velsim are built when needed. The simulated port
lives in a private temporary folder that VELDRV_DEVICE_DIR points at; the
folder and the simulator are removed when velcon ends, also on Ctrl-C.

With a real controller run velcon directly, e.g.
  VELDRV_DEVICE_DIR=~/plc build/bin/velcon COM1 FX
TEXT
}

family=fx
trace=0
build=1
for arg in "$@"; do
  case "${arg,,}" in
  fx) family=fx ;;
  a) family=a ;;
  --trace) trace=1 ;;
  --no-build) build=0 ;;
  -h | --help) usage; exit 0 ;;
  *) echo "run-velcon.sh: unknown argument '$arg' (see --help)" >&2; exit 2 ;;
  esac
done

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
builddir="${VELCON_BUILD_DIR:-$here/build}"

# Runs a build step quietly; shows its output only when it fails.
quiet() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "run-velcon.sh: build failed: $*" >&2
    exit 1
  fi
  rm -f "$log"
}

if [[ $build == 1 ]]; then
  if [[ ! -f $builddir/CMakeCache.txt ]]; then
    echo "run-velcon.sh: configuring $builddir (first run) ..."
    # The preset of the test command: a build made here serves it as it is.
    quiet cmake -S "$here" --preset default -B "$builddir"
  fi
  if ! cmake --build "$builddir" --target velcon velsim -- -n 2>/dev/null | grep -q "no work to do"; then
    echo "run-velcon.sh: building velcon and velsim ..."
  fi
  quiet cmake --build "$builddir" -j2 --target velcon velsim
fi
for program in velcon velsim; do
  if [[ ! -x $builddir/bin/$program ]]; then
    echo "run-velcon.sh: $builddir/bin/$program is missing (build first, or drop --no-build)" >&2
    exit 1
  fi
done

tmp="$(mktemp -d -t velcon.XXXXXX)"
sim_pid=""
# shellcheck disable=SC2317  # called by the traps
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
  if [[ $trace == 1 && -s $tmp/velsim.log ]]; then
    echo "--- velsim trace ---" >&2
    cat "$tmp/velsim.log" >&2
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

sim_args=(--family "$family" --dir "$tmp" --com 1)
[[ $trace == 1 ]] && sim_args+=(--trace)
"$builddir/bin/velsim" "${sim_args[@]}" >"$tmp/velsim.log" 2>&1 </dev/null &
sim_pid=$!

# The simulator links COM1 once its line is ready.
for _ in $(seq 100); do
  [[ -e $tmp/COM1 ]] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "run-velcon.sh: velsim did not start:" >&2
    cat "$tmp/velsim.log" >&2
    sim_pid=""
    exit 1
  fi
  sleep 0.05
done
if [[ ! -e $tmp/COM1 ]]; then
  echo "run-velcon.sh: velsim did not create $tmp/COM1" >&2
  exit 1
fi
# Show the simulator's start line ("velsim: FX controller on ...").
for _ in $(seq 20); do
  [[ -s $tmp/velsim.log ]] && break
  sleep 0.05
done
head -n 1 "$tmp/velsim.log" >&2

status=0
# COM1 is the simulator's link: a VELDRV_COM1 of the shell would win over it.
VELDRV_DEVICE_DIR="$tmp" VELDRV_COM1= "$builddir/bin/velcon" COM1 "${family^^}" || status=$?
exit "$status"
