#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and builds a user's program
# against it twice, through pkg-config and through find_package(veldrv); runs
# both against the installed simulator on a private pseudo-terminal.
#   tests/package/check_install.sh [BUILD_DIR]      (default: build)
# Needs cmake, ninja, a C compiler and pkg-config. Exits non-zero on failure.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
work="$(mktemp -d /tmp/veldrv-install-XXXXXX)"
prefix="$work/prefix"
devices="$work/dev"
sim_pid=""

cleanup() {
  if [[ -n "$sim_pid" ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check_install: FAIL: $*" >&2
  exit 1
}
step() { echo "--- $*"; }

# Nothing below may reach the machine's serial devices.
mkdir -p "$devices"
export VELDRV_DEVICE_DIR="$devices"
unset LD_LIBRARY_PATH

step "install to $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
for f in include/veldrv.h lib/libveldrv.so.1.0.0 bin/velcon bin/velsim bin/velctl lib/pkgconfig/veldrv.pc \
  lib/cmake/veldrv/veldrvConfig.cmake lib/cmake/veldrv/veldrvConfigVersion.cmake \
  lib/cmake/veldrv/veldrvTargets.cmake; do
  [[ -f "$prefix/$f" ]] || fail "$f not installed"
done
[[ "$(readlink "$prefix/lib/libveldrv.so")" == libveldrv.so.1 ]] || fail "lib/libveldrv.so does not link to libveldrv.so.1"
[[ "$(readlink "$prefix/lib/libveldrv.so.1")" == libveldrv.so.1.0.0 ]] || fail "lib/libveldrv.so.1 does not link to libveldrv.so.1.0.0"
for program in velcon velctl; do
  # grep -q may end before ldd has written everything: no pipe under pipefail.
  grep -q "=> $prefix/bin/../lib/libveldrv.so.1 " <<<"$(ldd "$prefix/bin/$program")" ||
    fail "installed $program does not find the installed library"
done

step "build through pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
[[ "$(pkg-config --modversion veldrv)" == 1.0.0 ]] || fail "pkg-config --modversion veldrv"
libdir="$(pkg-config --variable=libdir veldrv)"
# shellcheck disable=SC2046 # the flags are meant to split
"${CC:-cc}" -std=c99 -Wall -Wextra -pedantic -Werror "$here/consumer.c" -o "$work/consumer-pkgconfig" \
  $(pkg-config --cflags --libs veldrv) -Wl,-rpath,"$libdir" || fail "pkg-config build"

step "build through find_package(veldrv)"
cmake -S "$here" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$work/cmake.log" || { cat "$work/cmake.log"; fail "configure"; }
cmake --build "$work/cmake-build" >"$work/cmake.log" || { cat "$work/cmake.log"; fail "CMake build"; }
if cmake -S "$here" -B "$work/cmake-build-v2" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DVELDRV_REQUIRED_VERSION=2.0 >"$work/cmake-v2.log" 2>&1; then
  fail "find_package(veldrv 2.0) accepted version 1.0.0"
fi
grep -q "not accepted" "$work/cmake-v2.log" || { cat "$work/cmake-v2.log"; fail "find_package(veldrv 2.0) failed otherwise"; }

for program in consumer-pkgconfig cmake-build/consumer; do
  libraries=$(ldd "$work/$program")
  grep -q "=> $prefix/lib/libveldrv.so.1 " <<<"$libraries" ||
    grep -q "=> $prefix/lib/pkgconfig/../../lib/libveldrv.so.1 " <<<"$libraries" ||
    fail "$program does not load the installed library"
done

step "run both against the installed simulator"
"$prefix/bin/velsim" --family fx --dir "$devices" --com 1 >"$work/velsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^velsim: ' "$work/velsim.log" && [[ -e "$devices/COM1" ]] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/velsim.log"; fail "velsim ended"; }
  sleep 0.1
done
[[ -e "$devices/COM1" ]] || { cat "$work/velsim.log"; fail "velsim did not start"; }

for program in consumer-pkgconfig cmake-build/consumer; do
  out="$("$work/$program")" || fail "$program exited $?"
  echo "$out"
  [[ "$out" == *"D100 = 4660"*"D101 = 48879"*"D102 = 42"* ]] || fail "$program printed something else"
done

echo "check_install: OK (installed tree, pkg-config build, CMake build, both run)"
