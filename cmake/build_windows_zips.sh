#!/usr/bin/env bash
# Builds the Windows release archives with MinGW-w64 and CPack:
#
#   cmake/build_windows_zips.sh [OUTDIR]      (default: build-release)
#
# gives OUTDIR/veldrv-<version>-win64.zip and OUTDIR/veldrv-<version>-win32.zip
# (the 32-bit archive holds the cdecl and the stdcall build, each in a folder
# of its name), lists them, and checks what is in them: the files, the
# DLLs' format, exports and calling convention, and that no program needs a
# runtime DLL.
# Release builds in OUTDIR/win64, OUTDIR/win32-stdcall and OUTDIR/win32-cdecl.
# Needs cmake, ninja, g++-mingw-w64-x86-64-posix and g++-mingw-w64-i686-posix.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(mkdir -p "${1:-$root/build-release}" && cd "${1:-$root/build-release}" && pwd)

build() {
  local dir=$1 toolchain=$2
  shift 2
  echo "== $dir"
  cmake -S "$root" -B "$out/$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DVELDRV_TESTS=OFF -DVELDRV_WERROR=ON "$@" >"$out/$dir-configure.log"
  cmake --build "$out/$dir" -j2 >"$out/$dir-build.log"
}
build win64 mingw-w64.cmake
build win32-stdcall mingw-w64-i686.cmake -DVELDRV_STDCALL=ON
build win32-cdecl mingw-w64-i686.cmake -DVELDRV_ZIP_STDCALL_BUILD="$out/win32-stdcall"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/win64/CMakeCache.txt")
rm -f "$out"/veldrv-*.zip
for dir in win64 win32-cdecl; do
  (cd "$out/$dir" && cpack -G ZIP -B "$out" >"$out/$dir-cpack.log")
done
rm -rf "$out/_CPack_Packages"

# Contents: the files of each folder, and the DLLs and programs checked as
# the Wine tests check the build trees (exports and ordinals, PE32 or PE32+,
# the calling convention of the 32-bit DLLs, no runtime DLLs).
status=0
check=$(mktemp -d /tmp/veldrv-zip.XXXXXX)
trap 'rm -rf "$check"' EXIT
programs="velcon.exe"
grep -q '^velctl' <(ls "$out/win64/bin") && programs+=" velctl.exe"
folder_files="libveldrv.dll.a $programs veldrv.def veldrv.dll"
for system in win64 win32; do
  zip=$out/veldrv-$version-$system.zip
  echo
  echo "== $(basename "$zip")"
  if [[ ! -f $zip ]]; then
    echo "missing: $zip"
    status=1
    continue
  fi
  cmake -E tar tvf "$zip"
  (cd "$check" && cmake -E tar xf "$zip")
  top=$check/veldrv-$version-$system
  if [[ $system == win64 ]]; then
    folders=(.) format=pe32+
    want="LICENSE README.md $folder_files veldrv.h"
  else
    folders=(cdecl stdcall) format=pe32
    want="LICENSE README.md cdecl/ $(for f in $folder_files; do printf 'cdecl/%s ' "$f"; done)"
    want+="stdcall/ $(for f in $folder_files; do printf 'stdcall/%s ' "$f"; done)veldrv.h"
  fi
  got=$(cd "$top" && find . -mindepth 1 \( -type d -printf '%P/\n' -o -printf '%P\n' \) | LC_ALL=C sort | xargs)
  want=$(tr ' ' '\n' <<<"$want" | grep . | LC_ALL=C sort | xargs)
  if [[ $got != "$want" ]]; then
    echo "contents: $got"
    echo "expected: $want"
    status=1
  fi
  for folder in "${folders[@]}"; do
    convention=""
    [[ $folder != . ]] && convention=$folder
    echo "-- $system/$folder: $format${convention:+, $convention}"
    "$root/tests/windows/check_dll.sh" "$top/$folder" "$format" "$convention" || status=1
  done
  # The stdcall folder's import library resolves decorated names.
  if [[ $system == win32 ]] && ! grep -aq '_VelOpen@8' "$top/stdcall/libveldrv.dll.a"; then
    echo "stdcall/libveldrv.dll.a does not define _VelOpen@8"
    status=1
  fi
done
if [[ $status -eq 0 ]]; then
  echo
  echo "release archives in $out: $(cd "$out" && echo veldrv-*.zip)"
fi
exit $status
