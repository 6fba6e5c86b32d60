#!/usr/bin/env bash
# Checks a cross-built veldrv.dll: it exports exactly the six functions,
# undecorated, numbered 1..6 in alphabetical order of their names, and
# neither it nor the programs beside it import a MinGW runtime DLL (the
# runtime is linked in). Optionally its format (PE32 for 32-bit, PE32+ for
# 64-bit) and, for a 32-bit DLL, its calling convention: every return of a
# __stdcall function removes the arguments (ret $0x14 for five of them), a
# cdecl function's returns leave them to the caller (plain ret). The names
# of the functions come from the symbols of the build tree's DLL.
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
want=$'1 VelClose\n2 VelOpen\n3 VelRdB\n4 VelRdW\n5 VelWrB\n6 VelWrW'
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

# The returns inside each export, from the disassembly with symbols: the
# 32-bit compiler names a cdecl function _VelOpen, a __stdcall one _VelOpen@8.
if [[ -n $convention ]]; then
  disassembly=$("$objdump" -d "$dll") || { echo "cannot disassemble $dll"; exit 1; }
  for entry in VelClose:1 VelOpen:2 VelRdB:5 VelRdW:5 VelWrB:5 VelWrW:5; do
    name=${entry%:*}
    bytes=$((4 * ${entry#*:}))
    case $convention in
      stdcall) label="_$name@$bytes" wanted=$(printf 'ret $0x%x' "$bytes") ;;
      cdecl) label="_$name" wanted="ret" ;;
      *) echo "unknown convention $convention"; exit 2 ;;
    esac
    if ! grep -qF " <$label>:" <<<"$disassembly"; then
      echo "$label: no such function in veldrv.dll"
      status=1
      continue
    fi
    # The instruction text of every ret between the label and the next one.
    rets=$(awk -v label="<$label>:" '
      /^[0-9a-f]+ <.*>:$/ { inside = ($2 == label) }
      inside && /\tret/ { sub(/^[^\t]*\t[^\t]*\t/, ""); gsub(/[[:space:]]+/, " "); sub(/^repz /, ""); print }
    ' <<<"$disassembly" | sort -u)
    # A cdecl function may end in a jump to another one instead of a ret.
    if [[ $rets == "$wanted" || ($convention == cdecl && -z $rets) ]]; then
      echo "$label: ${rets:-no ret (tail jump)}"
    else
      echo "$label: returns '${rets//$'\n'/, }', a $convention function has only '$wanted'"
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
