#!/usr/bin/env bash
# Checks the cross-built veldrv.dll: it exports exactly the six functions,
# numbered 1..6 in alphabetical order of their names, and neither it nor the
# programs beside it import a MinGW runtime DLL (the runtime is linked in).
#   check_dll.sh BINDIR
set -u
bindir=${1:?usage: check_dll.sh BINDIR}
dll=$bindir/veldrv.dll
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump)
status=0
shopt -s nullglob

dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }
base=$(sed -n 's/^Ordinal Base[[:space:]]*\([0-9]*\)$/\1/p' <<<"$dump")
# Lines "[   i] Name" of the name table: i is the ordinal less the base.
got=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\([A-Za-z_0-9]*\)$/\1 \2/p' \
  <<<"$dump" | while read -r index name; do echo "$((index + base)) $name"; done | sort -n)
want=$'1 VelClose\n2 VelOpen\n3 VelRdB\n4 VelRdW\n5 VelWrB\n6 VelWrW'
if [[ -z $base || $got != "$want" ]]; then
  echo "veldrv.dll exports (ordinal name):"
  echo "${got:-<none>}"
  echo "expected:"
  echo "$want"
  status=1
fi

for file in "$bindir"/*.dll "$bindir"/*.exe; do
  runtime=$("$objdump" -p "$file" | grep -Eio 'DLL Name: (libgcc|libstdc|libwinpthread)[^ ]*')
  if [[ -n $runtime ]]; then
    echo "$(basename "$file") needs a runtime DLL: $runtime"
    status=1
  fi
done
exit $status
