#!/usr/bin/env bash
# Checks what a user gets: installs a built tree into a temporary prefix (or
# unpacks its Debian package into a temporary root), builds a user's program
# against it through pkg-config and through find_package(veldrv), builds the
# examples/ project the same way, renders the installed manual pages, and runs
# the programs, the examples, the Python package (installed with pip into a
# fresh virtual environment, no VELDRV_LIBRARY) and the README's Python example
# against the installed simulator on a private pseudo-terminal.
#   tests/package/check_install.sh [BUILD_DIR]                  (default: build)
#   tests/package/check_install.sh BUILD_DIR --deb PACKAGE.deb
# Needs cmake, ninja, C and C++ compilers, pkg-config, python3 with venv,
# man-db and (--deb) dpkg-deb. Exits non-zero on failure.
set -euo pipefail
# (pipelines end in "grep >/dev/null", not "grep -q": an early exit of grep
# would fail the pipeline through the writer's SIGPIPE)

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
deb=""
if [[ "${2:-}" == --deb ]]; then
  deb="$(cd "$(dirname "$3")" && pwd)/$(basename "$3")"
fi
work="$(mktemp -d /tmp/veldrv-install-XXXXXX)"
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
unset LD_LIBRARY_PATH VELDRV_LIBRARY
for n in $(seq 16); do unset "VELDRV_COM$n"; done
version="$(sed -n 's/^project(veldrv VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")"
programs=(velcon velsim)
pages=(man1/velcon.1 man1/velsim.1 man3/veldrv.3)
if [[ -x "$build/bin/velctl" ]]; then
  programs+=(velctl)
  pages+=(man1/velctl.1)
fi

if [[ -z "$deb" ]]; then
  # A user's own prefix: the Python package finds ~/.local/lib by itself.
  home="$work/home"
  prefix="$home/.local"
  step "install to $prefix"
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
else
  step "contents of $(basename "$deb")"
  [[ "$(basename "$deb")" == "veldrv_${version}_amd64.deb" ]] || fail "package name $(basename "$deb")"
  dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
  for f in lib/libveldrv.so.$version "lib/libveldrv.so.1 -> libveldrv.so.$version" include/veldrv.h \
    lib/pkgconfig/veldrv.pc lib/cmake/veldrv/veldrvConfig.cmake lib/cmake/veldrv/veldrvConfigVersion.cmake \
    lib/cmake/veldrv/veldrvTargets.cmake share/doc/veldrv/copyright "${programs[@]/#/bin/}" \
    "${pages[@]/#/share/man/}"; do
    [[ "$f" == share/man/* ]] && f="$f.gz"
    grep -qF " ./usr/$f" "$work/contents" || { cat "$work/contents"; fail "$f not in the package"; }
  done
  depends="$(dpkg-deb -f "$deb" Depends)"
  [[ "$depends" == *libc6* && "$depends" == *libstdc++6* ]] || fail "Depends: '$depends' (dpkg-shlibdeps)"
  echo "Depends: $depends"
  step "unpack into $work/root"
  dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x"
  prefix="$work/root/usr"
  cmp -s "$prefix/share/doc/veldrv/copyright" "$repo/LICENSE" || fail "copyright is not the LICENSE"
fi

for f in include/veldrv.h lib/libveldrv.so.$version "${programs[@]/#/bin/}" lib/pkgconfig/veldrv.pc \
  lib/cmake/veldrv/veldrvConfig.cmake lib/cmake/veldrv/veldrvConfigVersion.cmake \
  lib/cmake/veldrv/veldrvTargets.cmake; do
  [[ -f "$prefix/$f" ]] || fail "$f not installed"
done
[[ "$(readlink "$prefix/lib/libveldrv.so")" == libveldrv.so.1 ]] ||
  fail "lib/libveldrv.so does not link to libveldrv.so.1"
[[ "$(readlink "$prefix/lib/libveldrv.so.1")" == "libveldrv.so.$version" ]] ||
  fail "lib/libveldrv.so.1 does not link to libveldrv.so.$version"
objdump -p "$prefix/lib/libveldrv.so.$version" | grep "SONAME *libveldrv.so.1$" >/dev/null || fail "SONAME is not libveldrv.so.1"
for program in "${programs[@]}"; do
  [[ "$program" == velsim ]] && continue  # the simulator does not use the library
  # grep -q may end before ldd has written everything: no pipe under pipefail.
  grep -q "=> $prefix/bin/../lib/libveldrv.so.1 " <<<"$(ldd "$prefix/bin/$program")" ||
    fail "installed $program does not find the installed library"
done

step "manual pages"
for page in "${pages[@]}"; do
  file="$prefix/share/man/$page.gz"
  [[ -f "$file" ]] || fail "$page not installed"
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)" || fail "man -l $page"
  [[ -z "$warnings" ]] || fail "man -l $page warns: $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" | grep "^NAME" >/dev/null || fail "$page renders no NAME section"
done

step "build through pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
[[ "$(pkg-config --modversion veldrv)" == "$version" ]] || fail "pkg-config --modversion veldrv"
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
  fail "find_package(veldrv 2.0) accepted version $version"
fi
grep -q "not accepted" "$work/cmake-v2.log" || { cat "$work/cmake-v2.log"; fail "find_package(veldrv 2.0) failed otherwise"; }

step "build the examples project"
flags="-Wall -Wextra -pedantic -Werror"
cmake -S "$repo/examples" -B "$work/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >"$work/examples.log" || { cat "$work/examples.log"; fail "configure examples"; }
cmake --build "$work/examples" >"$work/examples.log" || { cat "$work/examples.log"; fail "build examples"; }

for program in consumer-pkgconfig cmake-build/consumer examples/read_write examples/registers; do
  libraries=$(ldd "$work/$program")
  grep -q "=> $prefix/lib/libveldrv.so.1 " <<<"$libraries" ||
    grep -q "=> $prefix/lib/pkgconfig/../../lib/libveldrv.so.1 " <<<"$libraries" ||
    fail "$program does not load the installed library"
done

step "run against the installed simulator"
"$prefix/bin/velsim" --family fx --dir "$devices" --com 1 >"$work/velsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^velsim: ' "$work/velsim.log" && [[ -e "$devices/COM1" ]] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/velsim.log"; fail "velsim ended"; }
  sleep 0.1
done
[[ -e "$devices/COM1" ]] || { cat "$work/velsim.log"; fail "velsim did not start"; }
sim="$devices/COM1"

for program in consumer-pkgconfig cmake-build/consumer; do
  out="$("$work/$program")" || fail "$program exited $?"
  echo "$out"
  [[ "$out" == *"D100 = 4660"*"D101 = 48879"*"D102 = 42"* ]] || fail "$program printed something else"
done

# The examples name their device by argument or VELDRV_COM1, never by default.
out="$("$work/examples/read_write" "$sim" fx)" || fail "read_write exited $?"
echo "$out"
[[ "$out" == *"D100 = 4369 (0x1111)"*"D103 = 17476 (0x4444)"* ]] || fail "read_write printed something else"
out="$(VELDRV_COM1="$sim" "$work/examples/registers")" || fail "registers exited $?"
echo "$out"
[[ "$out" == *"D204 = 50"*"sum = 150"*"M0..M7 = 0x5A"*"refused: VelWrB: -10"* ]] || fail "registers printed something else"
for program in read_write registers; do
  status=0
  "$work/examples/$program" >/dev/null 2>&1 || status=$?
  [[ $status == 2 ]] || fail "$program without a device exited $status, not 2"
done

step "Python: pip install into a fresh virtual environment, no VELDRV_LIBRARY"
python3 -m venv "$work/venv"
"$work/venv/bin/pip" install -q --no-index "$repo/python" || fail "pip install ./python"
if [[ -z "$deb" ]]; then
  py_env=(HOME="$home")                       # finds ~/.local/lib/libveldrv.so.1
else
  py_env=(LD_LIBRARY_PATH="$prefix/lib")      # installed, the package's /usr/lib is the loader's own
fi
loaded="$(cd "$work" && env "${py_env[@]}" "$work/venv/bin/python" -c 'import veldrv; print(veldrv.load_library()._name)')" ||
  fail "the installed package does not load the library"
echo "veldrv $version loads $loaded"
[[ -z "$deb" && "$loaded" == "$prefix/lib/libveldrv.so.1" || -n "$deb" && "$loaded" == libveldrv.so.1 ]] ||
  fail "loaded $loaded"
# The README's example, byte for byte, checked against its own comments.
sed -n '/^## Python/,/^## /p' "$repo/README.md" | awk '/^```python/{f=1;next} /^```/{f=0} f' >"$work/readme_example.py"
[[ -s "$work/readme_example.py" ]] || fail "no Python example in the README"
out="$(cd "$work" && env "${py_env[@]}" "$work/venv/bin/python" readme_example.py)" || fail "the README's Python example failed"
echo "$out"
expected="$(sed -n 's/^ *print(.*)  *# \(.*\)$/\1/p' "$work/readme_example.py")"
[[ -n "$expected" && "$out" == "$expected" ]] || fail "the README's example printed something else than its comments: $expected"
out="$(cd "$work" && env "${py_env[@]}" "$work/venv/bin/python" "$repo/examples/poll.py" "$sim" --start 100 --count 4 \
  --polls 3 --interval 0.1 2>&1)" || { echo "$out"; fail "poll.py exited $?"; }
echo "$out"
[[ "$out" == *"INFO D100 = 1"*"INFO D102 = 48879"*"INFO D103 = 17476"* ]] || fail "poll.py logged something else"

step "--version"
for program in "${programs[@]}"; do
  out="$("$prefix/bin/$program" --version)" || fail "$program --version exited $?"
  [[ "$out" == "$program $version" ]] || fail "$program --version printed '$out'"
done

echo "check_install: OK (${deb:+Debian package, }installed tree, manual pages, pkg-config and CMake builds, examples, Python)"
