#!/usr/bin/env bash
# Checks the Debian packages as a distribution would take them: builds them
# with the README's command (cmake/build_debs.sh build-deb), runs lintian on
# every package (any error or warning fails), checks what each package holds
# and declares (files, Multi-Arch, dependencies, the symbols file against the
# library's exports, copyright, changelog), installs them on this machine
# with the README's command, checks that a program built against them depends
# on libveldrv1 through the symbols file, runs tests/package/check_install.sh
# --system (consumers, examples, Python against velsim), purges them with the
# README's command and checks that nothing of them is left.
#   tests/package/check_debs.sh
# Installs packages: needs root (exits 77, skipped, otherwise), lintian and
# the build dependencies of debian/control. The packages are purged on every
# way out, also when a check fails.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
fail() {
  echo "check_debs: FAIL: $*" >&2
  exit 1
}
step() { echo "--- $*"; }

if [[ "$(id -u)" != 0 ]]; then
  echo "check_debs: installs packages on this machine: run it as root (skipped)" >&2
  exit 77
fi
command -v lintian >/dev/null || { echo "check_debs: lintian is not installed (skipped)" >&2; exit 77; }

cd "$repo"
packages=(libveldrv1 libveldrv-dev veldrv-tools)
[[ -e velgw/CMakeLists.txt ]] && packages+=(velgw)
version="$(dpkg-parsechangelog -S Version)"
upstream="${version%-*}"
arch="$(dpkg-architecture -qDEB_HOST_ARCH)"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
[[ "$upstream" == "$(sed -n 's/^project(veldrv VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ]] ||
  fail "debian/changelog's version $version is not the project's"
work="$(mktemp -d /tmp/veldrv-debs-XXXXXX)"
installed=""

# Leaves the machine as it was: whatever of ours is installed goes.
cleanup() {
  local status=$?
  if [[ -n "$installed" ]]; then
    echo "check_debs: purging the packages" >&2
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${packages[@]}" >/dev/null 2>&1 ||
      dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

# The README's commands of its Debian section, by their first words.
section="$(sed -n '/^## Debian packages and manual pages$/,/^## /p' README.md | sed -n 's/^    //p')"
readme_command() {
  local line
  line="$(grep -m1 "^$1" <<<"$section")" || fail "no '$1' command in the README's Debian section"
  echo "${line#sudo }"
}
# apt-get as the README has it, but waiting for the lock other jobs on this
# machine may hold, and without questions.
cat >"$work/apt.conf" <<'EOF'
DPkg::Lock::Timeout "300";
APT::Get::Assume-Yes "true";
quiet "1";
Dpkg::Use-Pty "0";
EOF
run_apt() {
  echo "\$ $1"
  APT_CONFIG="$work/apt.conf" DEBIAN_FRONTEND=noninteractive bash -c "$1" </dev/null
}

# Nothing of ours may be on the machine before (it would hide what the
# packages do, and purging it would remove someone's install).
leftovers() {
  local p
  for p in "${packages[@]}"; do
    dpkg -L "$p" >/dev/null 2>&1 && echo "package $p is installed"
  done
  compgen -G "/usr/include/veldrv.h" || true
  compgen -G "/usr/lib/*/libveldrv*" || true
  compgen -G "/usr/lib/*/pkgconfig/veldrv.pc" || true
  compgen -G "/usr/lib/*/cmake/veldrv" || true
  compgen -G "/usr/bin/vel[cgs]*" || true
  compgen -G "/usr/share/man/man[13]/vel*" || true
  compgen -G "/lib/systemd/system/velgw*" || true
  for p in "${packages[@]}"; do compgen -G "/usr/share/doc/$p" || true; done
  ldconfig -p | grep libveldrv || true
  pkg-config --exists veldrv 2>/dev/null && echo "pkg-config finds veldrv: $(pkg-config --path veldrv)"
  return 0
}
before="$(leftovers)"
[[ -z "$before" ]] || fail "a veldrv is installed on this machine already; remove it first:"$'\n'"$before"

step "build: $(readme_command cmake/build_debs.sh)"
bash -c "$(readme_command cmake/build_debs.sh)"
out=build-deb
changes="$out/veldrv_${version}_$arch.changes"
[[ -f "$changes" ]] || fail "no $changes"
deb() { echo "$out/${1}_${version}_$arch.deb"; }
built="$(find "$out" -maxdepth 1 -name '*.deb' -printf '%f\n' | sed 's|_.*||' | sort | tr '\n' ' ')"
# Debug symbols of every package with programs or libraries.
want="$(printf '%s\n' "${packages[@]}" "${packages[@]/%/-dbgsym}" | grep -vx libveldrv-dev-dbgsym | sort | tr '\n' ' ')"
[[ "$built" == "$want" ]] || fail "built '$built', not '$want'"

step "lintian"
lintian --fail-on error,warning -I "$changes" || fail "lintian reports errors or warnings (above)"
echo "lintian: no error, no warning"

step "what each package holds"
# The files of a package (directories left out), links as NAME -> TARGET.
contents() {
  dpkg-deb -c "$(deb "$1")" | grep -v '^d' | awk '{ $1=$2=$3=$4=$5=""; sub(/^ +\.\//, ""); print }' | sort
}
doc() { printf 'usr/share/doc/%s/%s\n' "$1" changelog.Debian.gz "$1" copyright; echo "usr/share/lintian/overrides/$1"; }
expect_contents() {
  local package="$1" got want
  got="$(contents "$package")"
  want="$(sort)"
  [[ "$got" == "$want" ]] || fail "$package holds"$'\n'"$got"$'\n'"not"$'\n'"$want"
  echo "$package: $(wc -l <<<"$got") files"
}
lib="usr/lib/$multiarch"
{ doc libveldrv1; echo "$lib/libveldrv.so.$upstream"; echo "$lib/libveldrv.so.1 -> libveldrv.so.$upstream"; } |
  expect_contents libveldrv1
{
  doc libveldrv-dev
  printf '%s\n' usr/include/veldrv.h "$lib/libveldrv.so -> libveldrv.so.1" "$lib/pkgconfig/veldrv.pc" \
    usr/share/man/man3/veldrv.3.gz "$lib/cmake/veldrv/veldrvConfig.cmake" \
    "$lib/cmake/veldrv/veldrvConfigVersion.cmake" "$lib/cmake/veldrv/veldrvTargets.cmake" \
    "$lib/cmake/veldrv/veldrvTargets-none.cmake"
} | expect_contents libveldrv-dev
{
  doc veldrv-tools
  printf '%s\n' usr/bin/velcon usr/bin/velctl usr/bin/velsim usr/share/man/man1/velcon.1.gz \
    usr/share/man/man1/velctl.1.gz usr/share/man/man1/velsim.1.gz
} | expect_contents veldrv-tools
if [[ " ${packages[*]} " == *" velgw "* ]]; then
  {
    doc velgw
    printf '%s\n' usr/bin/velgw usr/share/man/man1/velgw.1.gz lib/systemd/system/velgw.service \
      usr/share/doc/velgw/examples/plant.toml
  } | expect_contents velgw
fi

step "what each package declares"
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
contact='^[^<]+ <[^@>]+@[^@>]+>$'  # a name and an address
for p in "${packages[@]}"; do
  [[ "$(field "$p" Maintainer)" =~ $contact ]] || fail "$p: Maintainer '$(field "$p" Maintainer)'"
  [[ "$(field "$p" Architecture)" == "$arch" ]] || fail "$p: Architecture"
  # No program or library of ours carries a search path.
  rm -rf "$work/x" && dpkg-deb -x "$(deb "$p")" "$work/x"
  while IFS= read -r -d '' f; do
    if file -b "$f" | grep ELF >/dev/null; then
      readelf -d "$f" | grep -E 'RPATH|RUNPATH' && fail "$p: ${f#"$work/x/"} has a search path"
    fi
  done < <(find "$work/x" -type f -print0)
  # DEP-5 copyright with the project's licence, the packaging's changelog.
  copyright="$work/x/usr/share/doc/$p/copyright"
  head -n1 "$copyright" | grep -x 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' >/dev/null ||
    fail "$p: copyright is not machine-readable (DEP-5)"
  # The text of the last License paragraph, without its indentation.
  awk '/^License: Expat$/ { text = ""; f = 1; next } f { sub(/^ /, ""); sub(/^\.$/, ""); text = text $0 "\n" }
       END { printf "%s", text }' "$copyright" >"$work/licence"
  cmp -s "$work/licence" <(tail -n +5 LICENSE) || fail "$p: the copyright file's licence text is not LICENSE's"
  zcat "$work/x/usr/share/doc/$p/changelog.Debian.gz" | head -n1 | grep -F "veldrv ($version)" >/dev/null ||
    fail "$p: changelog.Debian.gz is not the packaging's changelog of $version"
done
expect_field() {
  [[ "$(field "$1" "$2")" == "$3" ]] || fail "$1: $2 is '$(field "$1" "$2")', not '$3'"
}
expect_field libveldrv1 Multi-Arch same
expect_field libveldrv1 Section libs
expect_field libveldrv-dev Multi-Arch same
expect_field libveldrv-dev Section libdevel
expect_field libveldrv-dev Depends "libveldrv1 (= $version)"
expect_field veldrv-tools Multi-Arch foreign
[[ "$(field veldrv-tools Depends)" == *"libveldrv1 (>= $upstream)"* ]] ||
  fail "veldrv-tools: Depends '$(field veldrv-tools Depends)' lacks libveldrv1 (>= $upstream)"

# The runtime package's shared-library files: the symbols file names exactly
# what the shipped library exports (the eight functions), the shlibs file the
# package, and the loader's cache is rebuilt through dpkg's trigger.
dpkg-deb -e "$(deb libveldrv1)" "$work/control"
[[ -f "$work/control/symbols" ]] || fail "libveldrv1 has no symbols file"
grep -x "libveldrv.so.1 libveldrv1 #MINVER#" "$work/control/symbols" >/dev/null || fail "symbols: $(head -n1 "$work/control/symbols")"
grep -x "libveldrv 1 libveldrv1.*" "$work/control/shlibs" >/dev/null || fail "shlibs: $(cat "$work/control/shlibs")"
grep -x "activate-noawait ldconfig" "$work/control/triggers" >/dev/null || fail "libveldrv1 does not trigger ldconfig"
rm -rf "$work/x" && dpkg-deb -x "$(deb libveldrv1)" "$work/x"
exports="$(nm -D --defined-only "$work/x/$lib/libveldrv.so.$upstream" | awk '{print $3 "@Base"}' | sort | tr '\n' ' ')"
listed="$(sed -n 's/^ \([^ ]*\) .*/\1/p' "$work/control/symbols" | sort | tr '\n' ' ')"
eight="VelClose@Base VelOpen@Base VelRdB@Base VelRdW@Base VelReason@Base VelStatusText@Base VelWrB@Base VelWrW@Base "
[[ "$exports" == "$eight" ]] || fail "the library exports '$exports', not the eight"
[[ "$listed" == "$eight" ]] || fail "the symbols file lists '$listed', not the eight"
echo "symbols: $listed"

step "install"
installed=yes
install_command="$(readme_command "sudo apt-get install")"
run_apt "$install_command"
for p in "${packages[@]}"; do
  [[ "$install_command" == *"./build-deb/${p}_${version}_$arch.deb"* ]] || [[ "$p" == velgw ]] ||
    fail "the README's install command does not install $p $version"
done
# velgw is not in the README's command (a gateway is not what every user wants).
[[ " ${packages[*]} " == *" velgw "* ]] && run_apt "apt-get install $(deb velgw | sed 's|^|./|')"
for p in "${packages[@]}"; do
  [[ "$(dpkg-query -W -f '${Status} ${Version}' "$p")" == "install ok installed $version" ]] ||
    fail "$p is not installed: $(dpkg-query -W -f '${Status} ${Version}' "$p" 2>&1)"
done
ldconfig -p | grep -F "libveldrv.so.1 (libc6,x86-64) => " >/dev/null || fail "the loader's cache has no libveldrv.so.1"

step "a program built against the packages depends on libveldrv1"
# As in a package of a program of a library user: dpkg-shlibdeps finds
# libveldrv1's symbols file through the installed library.
mkdir -p "$work/shlibdeps/debian/myprog/usr/bin" "$work/shlibdeps/debian/myprog/DEBIAN"
printf 'Source: myprog\n\nPackage: myprog\nArchitecture: any\n' >"$work/shlibdeps/debian/control"
# shellcheck disable=SC2046 # the flags are meant to split
cc "$here/consumer.c" -o "$work/shlibdeps/debian/myprog/usr/bin/myprog" $(pkg-config --cflags --libs veldrv)
depends="$(cd "$work/shlibdeps" && dpkg-shlibdeps -O debian/myprog/usr/bin/myprog)"
echo "$depends"
[[ "$depends" == *"libveldrv1 (>= $upstream)"* ]] || fail "dpkg-shlibdeps: '$depends' lacks libveldrv1 (>= $upstream)"

step "consumers, examples and Python against /usr"
"$here/check_install.sh" --system

step "purge"
# velgw first: purging libveldrv1 would take it along.
[[ " ${packages[*]} " == *" velgw "* ]] && run_apt "apt-get purge velgw"
run_apt "$(readme_command "sudo apt-get purge")"
for p in "${packages[@]}"; do
  [[ "$(readme_command "sudo apt-get purge")" == *" $p"* ]] || [[ "$p" == velgw ]] ||
    fail "the README's purge command leaves $p"
done
installed=""
after="$(leftovers)"
[[ -z "$after" ]] || fail "left after the purge:"$'\n'"$after"
for p in "${packages[@]}"; do
  dpkg -L "$p" >/dev/null 2>&1 && fail "dpkg -L $p still lists files"
done
pkg-config --exists veldrv && fail "pkg-config still finds veldrv"
echo "check_debs: OK (built, lintian clean, contents and fields, installed, consumers and examples, purged without a trace)"
