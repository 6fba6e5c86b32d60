#!/usr/bin/env bash
# Checks a cross-built veldrv.dll: it exports exactly the six functions,
# undecorated, numbered 1..6 in alphabetical order of their names, and
# VelReason 7 and VelStatusText 8 beside them, and
# neither it nor the programs beside it import a MinGW runtime DLL (the
# runtime is linked in). Optionally its format (PE32 for 32-bit, PE32+ for
# 64-bit) and, for a 32-bit DLL, its calling convention: every return of a
# __stdcall function removes the arguments (ret $0x14 for five of them), a
# cdecl function's returns leave them to the caller (plain ret).
#   check_dll.sh BINDIR [pe32|pe32+] [cdecl|stdcall]
set -u
bindir=${1:?usage: check_dll.sh BINDIR [pe32|pe32+] [cdecl|stdcall]}
format=${2:-}
convention=${3:-}
dll=$bindir/veldrv.dll
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump)
status=0
shopt -s nullglob

dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }
base=$(sed -n 's/^Ordinal Base[[:space:]]*\([0-9]*\)$/\1/p' <<<"$dump")
# Lines "[   i] Name" of the name table: i is the ordinal less the base.
got=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\([^[:space:]]*\)$/\1 \2/p' \
  <<<"$dump" | while read -r index name; do echo "$((index + base)) $name"; done | sort -n)
want=$'1 VelClose\n2 VelOpen\n3 VelRdB\n4 VelRdW\n5 VelWrB\n6 VelWrW\n7 VelReason\n8 VelStatusText'
if [[ -z $base || $got != "$want" ]]; then
  echo "veldrv.dll exports (ordinal name):"
  echo "${got:-<none>}"
  echo "expected:"
  echo "$want"
  status=1
fi

if [[ -n $format ]]; then
  case $format in
    pe32) magic='010b[[:space:]]+\(PE32\)' ;;
    pe32+) magic='020b[[:space:]]+\(PE32\+\)' ;;
    *) echo "unknown format $format"; exit 2 ;;
  esac
  if ! grep -Eq "^Magic[[:space:]]+$magic" <<<"$dump"; then
    echo "veldrv.dll is not $format: $(grep '^Magic' <<<"$dump")"
    status=1
  fi
fi

# The first return at or after each export's address (from the export table,
# so stripped DLLs can be checked too): a __stdcall function removes its
# arguments, a cdecl function leaves them to the caller. A cdecl function
# may end in a jump to another one; the first return is then that one's.
if [[ -n $convention ]]; then
  image_base=$(sed -n 's/^ImageBase[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' <<<"$dump")
  ordinal=0
  for entry in VelClose:1 VelOpen:2 VelRdB:5 VelRdW:5 VelWrB:5 VelWrW:5 VelReason:3 VelStatusText:1; do
    ordinal=$((ordinal + 1))
    name=${entry%:*}
    bytes=$((4 * ${entry#*:}))
    case $convention in
      stdcall) wanted="ret \$0x$(printf '%x' "$bytes")" ;;
      cdecl) wanted="ret" ;;
      *) echo "unknown convention $convention"; exit 2 ;;
    esac
    rva=$(sed -n "s/^[[:space:]]*\[[[:space:]]*[0-9]*\] +base\[[[:space:]]*$ordinal\] \([0-9a-fA-F]*\) Export RVA\$/\1/p" <<<"$dump")
    if [[ -z $image_base || -z $rva ]]; then
      echo "$name: no address in the export table"
      status=1
      continue
    fi
    address=$((0x$image_base + 0x$rva))
    ret=$("$objdump" -d --start-address=$address --stop-address=$((address + 0x400)) "$dll" |
      awk -F'\t' '$3 ~ /^(repz )?ret/ { sub(/^repz /, "", $3); gsub(/[[:space:]]+/, " ", $3); sub(/ $/, "", $3); print $3; exit }')
    printf '%s (ordinal %d at 0x%x): %s\n' "$name" "$ordinal" "$address" "${ret:-no ret}"
    if [[ $ret != "$wanted" ]]; then
      echo "  a $convention function returns with '$wanted'"
      status=1
    fi
  done
fi

for file in "$bindir"/*.dll "$bindir"/*.exe; do
  runtime=$("$objdump" -p "$file" | grep -Eio 'DLL Name: (libgcc|libstdc|libwinpthread)[^ ]*')
  if [[ -n $runtime ]]; then
    echo "$(basename "$file") needs a runtime DLL: $runtime"
    status=1
  fi
done
exit $status
