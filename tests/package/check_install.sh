#!/usr/bin/env bash
# Checks what a user gets: installs a built tree into a temporary prefix (or
# takes the Debian packages installed on this machine), builds a user's
# program against it through pkg-config and through find_package(veldrv) -
# the README's own commands among them -, builds the examples/ project the
# same way, renders the installed manual pages, and runs the programs, the
# examples, the Python package (installed with pip into a fresh virtual
# environment, no VELDRV_LIBRARY) and the README's Python example against the
# installed simulator on a private pseudo-terminal.
#   tests/package/check_install.sh [BUILD_DIR]     cmake --install of BUILD_DIR (default: build)
#   tests/package/check_install.sh --system        the installed Debian packages under /usr
#                                                  (tests/package/check_debs.sh installs them)
# Needs cmake, ninja, C and C++ compilers, pkg-config, python3 with venv,
# man-db and binutils. Exits non-zero on failure.
set -euo pipefail
# (pipelines end in "grep >/dev/null", not "grep -q": an early exit of grep
# would fail the pipeline through the writer's SIGPIPE)

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
system=""
if [[ "${1:-}" == --system ]]; then
  system=yes
else
  build="$(cd "${1:-build}" && pwd)"
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
# shellcheck source=../support/library_settings.sh
source "$repo/tests/support/library_settings.sh"
mkdir -p "$devices"
export VELDRV_DEVICE_DIR="$devices"
unset LD_LIBRARY_PATH VELDRV_LIBRARY
version="$(sed -n 's/^project(veldrv VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")"
programs=(velcon velsim velctl)
pages=(man1/velcon.1 man1/velsim.1 man1/velctl.1 man3/veldrv.3)
if [[ -z "$system" && ! -x "$build/bin/velctl" ]]; then
  programs=(velcon velsim)
  pages=(man1/velcon.1 man1/velsim.1 man3/veldrv.3)
fi
home="$work/home"
mkdir -p "$home"

if [[ -z "$system" ]]; then
  # A user's own prefix: the Python package finds ~/.local/lib by itself.
  prefix="$home/.local"
  libdir="$prefix/lib"
  step "install to $prefix"
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
  export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
  cmake_prefix=(-DCMAKE_PREFIX_PATH="$prefix")
  readme_section="Install and use from C, CMake or pkg-config"
else
  # Everything where Debian puts it; nothing tells the tools where to look.
  prefix=/usr
  libdir="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
  step "the installed packages under $prefix, library in $libdir"
  unset PKG_CONFIG_PATH CMAKE_PREFIX_PATH
  cmake_prefix=()
  readme_section="Debian packages and manual pages"
fi
pcfile="$libdir/pkgconfig/veldrv.pc"

for f in "$prefix/include/veldrv.h" "$libdir/libveldrv.so.$version" "${programs[@]/#/$prefix/bin/}" "$pcfile" \
  "$libdir/cmake/veldrv/veldrvConfig.cmake" "$libdir/cmake/veldrv/veldrvConfigVersion.cmake" \
  "$libdir/cmake/veldrv/veldrvTargets.cmake"; do
  [[ -f "$f" ]] || fail "$f not installed"
done
[[ "$(readlink "$libdir/libveldrv.so")" == libveldrv.so.1 ]] ||
  fail "$libdir/libveldrv.so does not link to libveldrv.so.1"
[[ "$(readlink "$libdir/libveldrv.so.1")" == "libveldrv.so.$version" ]] ||
  fail "$libdir/libveldrv.so.1 does not link to libveldrv.so.$version"
objdump -p "$libdir/libveldrv.so.$version" | grep "SONAME *libveldrv.so.1$" >/dev/null || fail "SONAME is not libveldrv.so.1"

# The search path a program carries (empty: none).
runpath() { readelf -d "$1" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]$/\2/p'; }
# The file the loader takes for libveldrv.so.1 when starting $1, fully resolved.
loaded_library() {
  local line
  line="$(ldd "$1" | grep "libveldrv.so.1 => ")" || return 1
  line="${line#*=> }"
  realpath "${line%% (*}"
}
library="$(realpath "$libdir/libveldrv.so.1")"
for program in "${programs[@]}"; do
  if [[ -z "$system" ]]; then
    # shellcheck disable=SC2016 # the loader's $ORIGIN, not a variable
    want_runpath='$ORIGIN/../lib'  # beside the library, wherever the prefix goes
  else
    want_runpath=""                # the library is in the loader's own folder
  fi
  [[ "$(runpath "$prefix/bin/$program")" == "$want_runpath" ]] ||
    fail "installed $program has the search path '$(runpath "$prefix/bin/$program")', not '$want_runpath'"
  [[ "$program" == velsim ]] && continue  # the simulator does not use the library
  [[ "$(loaded_library "$prefix/bin/$program")" == "$library" ]] ||
    fail "installed $program does not find the installed library: $(ldd "$prefix/bin/$program")"
done

step "manual pages"
for page in "${pages[@]}"; do
  file="$prefix/share/man/$page.gz"
  [[ -f "$file" ]] || fail "$page not installed"
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)" || fail "man -l $page"
  [[ -z "$warnings" ]] || fail "man -l $page warns: $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" | grep "^NAME" >/dev/null || fail "$page renders no NAME section"
  if [[ -n "$system" ]]; then
    name="${page#*/}"
    [[ "$(man -w "${name##*.}" "${name%.*}")" == "$file" ]] || fail "man ${name##*.} ${name%.*} does not find $file"
  fi
done

step "pkg-config"
[[ "$(pkg-config --modversion veldrv)" == "$version" ]] || fail "pkg-config --modversion veldrv"
[[ "$(pkg-config --variable=prefix veldrv)" == "$prefix" ]] || fail "the .pc file's prefix: $(grep ^prefix= "$pcfile")"
[[ "$(pkg-config --variable=libdir veldrv)" == "$libdir" ]] || fail "pkg-config's libdir: $(pkg-config --variable=libdir veldrv)"
grep -F .. "$pcfile" && fail "$pcfile names a relative path"
flags="$(pkg-config --cflags --libs veldrv)"
flags="${flags% }"
if [[ -z "$system" ]]; then
  want_flags="-I$prefix/include -L$libdir -lveldrv"
else
  want_flags="-lveldrv"  # /usr/include and the multiarch folder are the compiler's own
fi
[[ "$flags" == "$want_flags" ]] || fail "pkg-config --cflags --libs veldrv printed '$flags', not '$want_flags'"
echo "pkg-config --cflags --libs veldrv: $flags"

step "build through pkg-config"
# shellcheck disable=SC2046 # the flags are meant to split
"${CC:-cc}" -std=c99 -Wall -Wextra -pedantic -Werror "$here/consumer.c" -o "$work/consumer-pkgconfig" \
  $(pkg-config --cflags --libs veldrv) ${PKG_CONFIG_PATH:+-Wl,-rpath,"$libdir"} || fail "pkg-config build"

step "the README's commands ($readme_section)"
# The section's indented command lines that install or build against what is
# installed, run in order as one script as they stand, with HOME=$home (so
# ~/.local is $prefix) and no PKG_CONFIG_PATH of ours, in a folder with
# myprog.c (the consumer) and build/ (the build tree). A pkg-config line's
# comment is what it prints.
readme="$work/readme"
mkdir -p "$readme"
cp "$here/consumer.c" "$readme/myprog.c"
[[ -z "$system" ]] && ln -s "$build" "$readme/build"
section="$(sed -n "/^## $readme_section\$/,/^## /p" "$repo/README.md")"
[[ -n "$section" ]] || fail "no section '$readme_section' in the README"
ran=0
{
  echo 'set -eu'
  while IFS= read -r line; do
    command="${line#    }"
    case "$command" in
      "cmake --install "*) [[ -n "$system" ]] && continue ;;
      "export PKG_CONFIG_PATH="* | "cc "*) ;;
      "pkg-config "*)
        expected="$(sed -n 's/^[^#]*#  *//p' <<<"$command")"
        printf 'echo %q\n' "\$ $command"
        # shellcheck disable=SC2016 # lines of the script, expanded when it runs
        printf 'out="$(%s)"; out="${out%% }"; echo "$out"\n' "${command%%#*}"
        # shellcheck disable=SC2016
        printf '[[ "$out" == %q ]] || { echo "printed, not %s" >&2; exit 1; }\n' "$expected" "$expected"
        ran=$((ran + 1))
        continue
        ;;
      *) continue ;;
    esac
    printf 'echo %q\n%s\n' "\$ $command" "$command"
    ran=$((ran + 1))
  done < <(grep '^    [a-z]' <<<"$section")
} >"$work/readme.sh"
(cd "$readme" && env -u PKG_CONFIG_PATH HOME="$home" bash "$work/readme.sh") || fail "the README's commands (see above)"
[[ -x "$readme/myprog" ]] || fail "the README's commands built no myprog"
if [[ -z "$system" ]]; then
  ((ran >= 3)) || fail "the README's install section has $ran commands to run, not the install, export and cc lines"
  want_runpath="$libdir"  # the folder itself: no pkgconfig/../.. in the program
else
  ((ran >= 2)) || fail "the README's Debian section has $ran commands to run, not the pkg-config and cc lines"
  want_runpath=""
fi
[[ "$(runpath "$readme/myprog")" == "$want_runpath" ]] ||
  fail "the README's myprog has the search path '$(runpath "$readme/myprog")', not '$want_runpath'"

step "build through find_package(veldrv)"
cmake -S "$here" -B "$work/cmake-build" -G Ninja "${cmake_prefix[@]}" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$work/cmake.log" || { cat "$work/cmake.log"; fail "configure"; }
cmake --build "$work/cmake-build" >"$work/cmake.log" || { cat "$work/cmake.log"; fail "CMake build"; }
if cmake -S "$here" -B "$work/cmake-build-v2" -G Ninja "${cmake_prefix[@]}" \
  -DVELDRV_REQUIRED_VERSION=2.0 >"$work/cmake-v2.log" 2>&1; then
  fail "find_package(veldrv 2.0) accepted version $version"
fi
grep -q "not accepted" "$work/cmake-v2.log" || { cat "$work/cmake-v2.log"; fail "find_package(veldrv 2.0) failed otherwise"; }
# The README's CMake lines in a project of their own.
mkdir -p "$work/readme-cmake"
cp "$here/consumer.c" "$work/readme-cmake/myprog.c"
{
  printf 'cmake_minimum_required(VERSION 3.16)\nproject(myprog LANGUAGES C)\nadd_executable(myprog myprog.c)\n'
  sed -n '/^## Install and use from C, CMake or pkg-config$/,/^## /p' "$repo/README.md" | awk '/^```cmake/{f=1;next} /^```/{f=0} f'
} >"$work/readme-cmake/CMakeLists.txt"
grep -q find_package "$work/readme-cmake/CMakeLists.txt" || fail "no CMake example in the README"
if ! { cmake -S "$work/readme-cmake" -B "$work/readme-cmake/build" -G Ninja "${cmake_prefix[@]}" >"$work/cmake.log" &&
  cmake --build "$work/readme-cmake/build" >>"$work/cmake.log"; }; then
  cat "$work/cmake.log"
  fail "the README's CMake example"
fi

step "build the examples project"
flags="-Wall -Wextra -pedantic -Werror"
cmake -S "$repo/examples" -B "$work/examples" -G Ninja "${cmake_prefix[@]}" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >"$work/examples.log" || { cat "$work/examples.log"; fail "configure examples"; }
cmake --build "$work/examples" >"$work/examples.log" || { cat "$work/examples.log"; fail "build examples"; }

for program in consumer-pkgconfig cmake-build/consumer readme/myprog readme-cmake/build/myprog examples/read_write \
  examples/registers; do
  [[ "$(loaded_library "$work/$program")" == "$library" ]] ||
    fail "$program does not load the installed library: $(ldd "$work/$program")"
  if [[ -n "$system" ]]; then
    [[ -z "$(runpath "$work/$program")" ]] || fail "$program has the search path $(runpath "$work/$program")"
  fi
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

for program in consumer-pkgconfig cmake-build/consumer readme/myprog readme-cmake/build/myprog; do
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
py_env=(HOME="$home")  # a prefix of ~/.local is found there; /usr through the loader's cache
loaded="$(cd "$work" && env "${py_env[@]}" "$work/venv/bin/python" -c 'import veldrv; print(veldrv.load_library()._name)')" ||
  fail "the installed package does not load the library"
echo "veldrv $version loads $loaded"
[[ -z "$system" && "$loaded" == "$prefix/lib/libveldrv.so.1" || -n "$system" && "$loaded" == libveldrv.so.1 ]] ||
  fail "loaded $loaded"
# The README's example, byte for byte, checked against its own comments.
sed -n '/^## Python/,/^## /p' "$repo/README.md" | awk '/^```python/{f=1;next} /^```/{f=0} f' >"$work/readme_example.py"
[[ -s "$work/readme_example.py" ]] || fail "no Python example in the README"
out="$(cd "$work" && env "${py_env[@]}" "$work/venv/bin/python" readme_example.py)" || fail "the README's Python example failed"
echo "$out"
expected="$(sed -n 's/^ *print(.*)  *# \(.*\)$/\1/p' "$work/readme_example.py")"
[[ -n "$expected" && "$out" == "$expected" ]] || fail "the README's example printed something else than its comments: $expected"
out="$(cd "$work" && env "${py_env[@]}" "$work/venv/bin/python" "$repo/examples/poll.py" "$sim" --start 100 --count 4 \
  --polls 3 --interval 0.1 2>&1)" || { status=$?; echo "$out"; fail "poll.py exited $status"; }
echo "$out"
[[ "$out" == *"INFO D100 = 1"*"INFO D102 = 48879"*"INFO D103 = 17476"* ]] || fail "poll.py logged something else"

step "--version"
for program in "${programs[@]}"; do
  out="$("$prefix/bin/$program" --version)" || fail "$program --version exited $?"
  [[ "$out" == "$program $version" ]] || fail "$program --version printed '$out'"
done

echo "check_install: OK (${system:+Debian packages, }installed tree, manual pages, pkg-config and CMake builds, the README's commands, examples, Python)"
