#!/usr/bin/env bash
# Builds the Debian packages from debian/ the way Debian does
# (dpkg-buildpackage -us -uc -b), on a copy of the tree, so that neither the
# checkout nor its parent folder gets build files or packages:
#   cmake/build_debs.sh [OUT_DIR]                  (default: build-deb)
# OUT_DIR then holds the .deb files (with the -dbgsym debug symbols), the
# .changes and the .buildinfo file. DEB_BUILD_OPTIONS is honoured
# (nocheck: no test suite; parallel=N: N jobs, default the number of CPUs).
# Needs the build dependencies of debian/control (dpkg-checkbuilddeps says
# which are missing).
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-build-deb}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
case "$out/" in
  "$repo/debian/"*) echo "build_debs: OUT_DIR must not be inside debian/" >&2; exit 2 ;;
esac

version="$(cd "$repo" && dpkg-parsechangelog -S Version)"
source="$(cd "$repo" && dpkg-parsechangelog -S Source)"
upstream="${version%-*}"
# Always the same folder: ccache finds its objects again on the next build.
tree="$out/$source-$upstream"

rm -rf "$tree"
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$tree"
# What git would commit: tracked and new files, none that .gitignore names
# (build folders, virtual environments); a tree without git is copied whole.
if git -C "$repo" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$repo" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [[ -e "$f" || -L "$f" ]] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -xf - -C "$tree"
else
  (cd "$repo" && tar --exclude='./build*' --exclude=./debian/tmp -cf - .) | tar -xf - -C "$tree"
fi

# velgw, the gateway, is built when its sources are in the tree.
if [[ ! -e "$repo/velgw/CMakeLists.txt" ]]; then
  export DEB_BUILD_PROFILES="${DEB_BUILD_PROFILES:+$DEB_BUILD_PROFILES }pkg.veldrv.nogw"
fi
case " ${DEB_BUILD_OPTIONS:-} " in
  *" parallel="*) ;;
  *)
    DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=$(nproc)"
    export DEB_BUILD_OPTIONS
    ;;
esac
echo "build_debs: $source $version in $tree (DEB_BUILD_OPTIONS=$DEB_BUILD_OPTIONS${DEB_BUILD_PROFILES:+, DEB_BUILD_PROFILES=$DEB_BUILD_PROFILES})"
log="$out/build.log"
if ! (cd "$tree" && dpkg-buildpackage -us -uc -b) >"$log" 2>&1; then
  tail -n 60 "$log" >&2
  echo "build_debs: dpkg-buildpackage failed; the whole log is $log" >&2
  exit 1
fi
rm -rf "$tree"
echo "build_debs: packages in $out (log: $log)"
(cd "$out" && ls -1 ./*.deb ./*.changes)
