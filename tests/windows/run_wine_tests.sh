#!/usr/bin/env bash
# Windows tests of VELDRV on Linux: cross-builds veldrv.dll, velcon.exe and the
# test programs with MinGW-w64, builds the native simulator, and runs the
# Windows programs under Wine against simulated controllers on
# pseudo-terminals that a private Wine prefix maps to COM ports.
#
#   tests/windows/run_wine_tests.sh
#
# Needs: cmake, ninja, g++-mingw-w64-x86-64-posix, wine64, a native C++
# compiler, perl. Environment (all optional): VELDRV_MINGW_BUILD (default
# build-mingw); VELSIM, a velsim already built (else it is built in
# VELDRV_SIM_BUILD, default build-win-native); VELDRV_KEEP=1 keeps the work
# folder (prefix, simulator traces, program output).
# Ends with "N passed, M failed[, K skipped]"; exit status 1 on any failure.
set -u

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
here=$root/tests/windows
build=${VELDRV_MINGW_BUILD:-$root/build-mingw}
native=${VELDRV_SIM_BUILD:-$root/build-win-native}
bin=$build/bin
velsim=${VELSIM:-}

wine=$(command -v wine64 || command -v wine || { [[ -x /usr/lib/wine/wine64 ]] && echo /usr/lib/wine/wine64; })
wineserver=$(command -v wineserver || { [[ -x /usr/lib/wine/wineserver ]] && echo /usr/lib/wine/wineserver; })

work=$(mktemp -d /tmp/veldrv-wine.XXXXXX)
dev=$work/dev  # the simulators' COM links; nothing else is mapped
mkdir -p "$dev"
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer
export WINEARCH=win64
export VELDRV_DEVICE_DIR=$dev  # in case anything native opens a port
unset DISPLAY WAYLAND_DISPLAY

passed=0
failed=0
skipped=0
sim_pids=()

pass() {
  passed=$((passed + 1))
  echo "[       OK ] $1"
}
fail() {
  failed=$((failed + 1))
  echo "[  FAILED  ] $1"
}
skip() {
  skipped=$((skipped + 1))
  echo "[  SKIPPED ] $1"
}

finish() {
  for pid in "${sim_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null; done
  if [[ -n $wineserver && -d $WINEPREFIX ]]; then "$wineserver" -k >/dev/null 2>&1; fi
  if [[ ${VELDRV_KEEP:-0} == 1 ]]; then
    echo "work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM

summary() {
  local line="$passed passed, $failed failed"
  [[ $skipped -gt 0 ]] && line+=", $skipped skipped"
  echo "$line"
  [[ $failed -eq 0 ]]
}

# Runs a Windows program under Wine with a time limit; output to a file
# (never a pipe: Wine's service processes would hold it open).
run_wine() {
  local limit=$1 out=$2
  shift 2
  timeout "$limit" "$wine" "$@" >"$out" 2>&1 </dev/null
}

# Adds the case lines and the RESULT line of a test program to the counts.
count_program() {
  local name=$1 log=$2 rc=$3
  sed -i 's/\r$//' "$log"  # the programs write text-mode line ends
  grep -E '^\[  (FAILED|SKIPPED) |^  ' "$log"
  local result
  result=$(grep -E '^RESULT passed=[0-9]+ failed=[0-9]+ skipped=[0-9]+' "$log" | tail -1)
  if [[ -z $result ]]; then
    tail -20 "$log"
    fail "$name (exit $rc, no result)"
    return
  fi
  local p f s
  read -r p f s < <(sed -E 's/RESULT passed=([0-9]+) failed=([0-9]+) skipped=([0-9]+)/\1 \2 \3/' <<<"$result")
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
  echo "$name: $p passed, $f failed, $s skipped (exit $rc)"
  if [[ $rc -ne 0 && $f -eq 0 ]]; then fail "$name exit status $rc"; fi
}

echo "== tools"
for tool in cmake ninja x86_64-w64-mingw32-g++-posix perl stty; do
  command -v "$tool" >/dev/null || { fail "missing $tool"; summary; exit 1; }
done
[[ -n $wine && -n $wineserver ]] || { fail "missing wine64"; summary; exit 1; }

echo "== cross build ($build)"
if cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DVELDRV_WERROR=ON >"$work/cross-configure.log" 2>&1 &&
  cmake --build "$build" -j2 >"$work/cross-build.log" 2>&1; then
  pass "Build.MinGW"
else
  tail -40 "$work/cross-configure.log" "$work/cross-build.log"
  fail "Build.MinGW"
  summary
  exit 1
fi

if [[ -n $velsim ]]; then
  echo "== simulator: $velsim"
  [[ -x $velsim ]] || { fail "VELSIM=$velsim is no program"; summary; exit 1; }
else
  echo "== simulator build ($native)"
  velsim=$native/bin/velsim
  if cmake -S "$root" -B "$native" -G Ninja -DVELDRV_TESTS=OFF >"$work/sim-configure.log" 2>&1 &&
    cmake --build "$native" -j2 --target velsim >"$work/sim-build.log" 2>&1 && [[ -x $velsim ]]; then
    pass "Build.Simulator"
  else
    tail -40 "$work/sim-configure.log" "$work/sim-build.log"
    fail "Build.Simulator"
    summary
    exit 1
  fi
fi

echo "== DLL exports and runtime"
if "$here/check_dll.sh" "$bin"; then pass "Dll.ExportsAndOrdinals"; else fail "Dll.ExportsAndOrdinals"; fi

# COM ports: velcon can only name COM1 and COM2, so its controllers sit there;
# the test program's own controllers sit on COM10 and COM11, names that need
# the \\.\ prefix. COM3..COM7 carry injected faults. Every other COM port up
# to COM16 is mapped to a missing file in the work folder.
fx_velcon=1 a_velcon=2 fx_com=10 a_com=11 missing_com=8
declare -A sim_args=(
  [1]="--family fx --memory $work/memory-fx.bin --trace"
  [2]="--family a --memory $work/memory-a.bin --trace"
  [3]="--family fx --fault silent"
  [4]="--family fx --fault nak-to-enq"
  [5]="--family fx --fault lowercase-hex"
  [6]="--family fx --fault wrong-checksum"
  [7]="--family a --fault silent"
  [10]="--family fx --memory $work/image.bin --trace"
  [11]="--family a --memory $work/image.bin --trace"
)
# shellcheck disable=SC2054  # the commas belong to the --expect values
expects=(
  --expect 3,fx,-1,FxSilentController
  --expect 4,fx,-6,FxNakToEnq
  --expect 5,fx,-6,FxLowercaseHex
  --expect 6,fx,-3,FxWrongChecksum
  --expect 7,a,-1,ASilentController
)

echo "== Wine prefix ($WINEPREFIX)"
{
  echo "REGEDIT4"
  echo
  echo "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"
  for n in $(seq 1 16); do echo "\"COM$n\"=\"$dev/COM$n\""; done
} >"$work/ports.reg"
# Wine maps the machine's real serial devices to COM ports when it starts;
# the registry entries take COM1..COM16 first, and the check below makes sure
# no test can reach a real device.
if run_wine 180 "$work/wineboot.log" wineboot -i &&
  run_wine 60 "$work/reg.log" reg import "$work/ports.reg" &&
  { "$wineserver" -k >/dev/null 2>&1; "$wineserver" -w >/dev/null 2>&1; true; } &&
  run_wine 60 "$work/restart.log" cmd /c exit; then
  bad_links=""
  for n in $(seq 1 16); do
    target=$(readlink "$WINEPREFIX/dosdevices/com$n")
    [[ $target == "$dev/COM$n" ]] || bad_links+=" com$n->${target:-none}"
  done
  if [[ -z $bad_links ]]; then
    pass "Wine.PortsMapped"
  else
    fail "Wine.PortsMapped:$bad_links"
    summary
    exit 1
  fi
else
  tail -20 "$work"/wineboot.log "$work"/reg.log
  fail "Wine.Prefix"
  summary
  exit 1
fi

# Memory images for velcon: data registers 10 and 11 hold 0x1234 and 0xBEEF
# (controller byte order: low byte first) at FX 0x1014 and A-series 0x8814.
make_image() {
  local file=$1 address=$2
  head -c "$address" /dev/zero >"$file"
  printf '\x34\x12\xef\xbe' >>"$file"
}
make_image "$work/memory-fx.bin" $((0x1014))
make_image "$work/memory-a.bin" $((0x8814))
# The test program's controllers hold the image its ImageByte() describes.
perl -e 'print pack("C*", map { ($_ * 7 + ($_ >> 8) + 0x5A) & 0xFF } 0 .. 65535)' >"$work/image.bin"

echo "== simulators"
for com in "${!sim_args[@]}"; do
  # shellcheck disable=SC2086
  "$velsim" ${sim_args[$com]} --dir "$dev" --com "$com" >"$work/sim$com.log" 2>&1 &
  sim_pids+=($!)
done
for com in "${!sim_args[@]}"; do
  for _ in $(seq 1 100); do
    grep -q '^velsim: .* on ' "$work/sim$com.log" && break
    sleep 0.1
  done
  if ! grep -q '^velsim: .* on ' "$work/sim$com.log"; then
    cat "$work/sim$com.log"
    fail "Simulator.COM$com"
    summary
    exit 1
  fi
done
echo "started ${#sim_pids[@]} simulators"

echo "== import library"
run_wine 60 "$work/import.log" "$bin/veldrv_import_check.exe"
count_program veldrv_import_check "$work/import.log" $?

echo "== exports against the simulators"
run_wine 300 "$work/e2e.log" "$bin/veldrv_wine_test.exe" --fx $fx_com --a $a_com --image --missing $missing_com \
  "${expects[@]}"
count_program veldrv_wine_test "$work/e2e.log" $?

# The simulators' traces show the frames on the wire: 600 bytes from data
# register byte 100 and 300 words from data register word 1000 go out in
# frames of 254, 254 and 92 bytes at the mapped addresses.
check_frames() {
  local name=$1 log=$2
  shift 2
  local missing=""
  for frame in "$@"; do grep -Eq "$frame" "$log" || missing+=" [$frame]"; done
  if [[ -z $missing ]]; then pass "$name"; else fail "$name: not in trace:$missing"; fi
}
check_frames Trace.FxSplitFrames "$work/sim$fx_com.log" \
  "write 0x1064 n=254 " "write 0x1162 n=254 " "write 0x1260 n=92 " \
  "read +0x1064 n=254 " "read +0x1162 n=254 " "read +0x1260 n=92 " \
  "write 0x17D0 n=254 " "write 0x18CE n=254 " "write 0x19CC n=92 "
check_frames Trace.ASplitFrames "$work/sim$a_com.log" \
  "write 0x8864 n=254 " "write 0x8962 n=254 " "write 0x8A60 n=92 " \
  "read +0x8864 n=254 " "read +0x8962 n=254 " "read +0x8A60 n=92 " \
  "write 0x8FD0 n=254 " "write 0x90CE n=254 " "write 0x91CC n=92 "

echo "== velcon"
# Wine on a pseudo-terminal refuses to re-apply 7E1/8O1 to a line that has it
# (error 87): reset the line from the Linux side before the program opens it.
reset_line() {
  stty -F "$dev/COM$1" raw -echo cs8 -parenb 9600 clocal cread 2>/dev/null
}
# Menu item 4: read 2 data register words from word 10; the two waits for a
# key take the line ends; then 0 ends the program.
run_velcon() {
  local name=$1 com=$2 family=$3 frame=$4
  local out=$work/velcon-$family.out
  reset_line "$com"
  printf '4\n10\n2\n\n\n0\n' >"$work/velcon.in"
  timeout 60 "$wine" "$bin/velcon.exe" "COM$com" "$family" <"$work/velcon.in" >"$out" 2>&1
  local rc=$?
  local text
  text=$(LC_ALL=C tr -d '\r' <"$out")
  if [[ $rc -eq 0 ]] && grep -q '^Lese DReg' <<<"$text" &&
    grep -Eq 'DW +10 = 1234 ' <<<"$text" && grep -Eq 'DW +11 = beef ' <<<"$text" &&
    grep -Eq "$frame" "$work/sim$com.log"; then
    pass "$name"
  else
    echo "exit status $rc; output:"
    LC_ALL=C tail -25 "$out"
    fail "$name"
  fi
}
if [[ -x $bin/velcon.exe ]]; then
  run_velcon Velcon.FxReadRegisterWords $fx_velcon FX "read +0x1014 n=4 -> 34 12 EF BE"
  run_velcon Velcon.AReadRegisterWords $a_velcon A "read +0x8814 n=4 -> 34 12 EF BE"
else
  skip "Velcon: velcon.exe was not built"
fi

echo "== velctl"
# Reads on velcon's FX controller, then a time-out on the silent one.
run_velctl() {
  local name=$1 expected_rc=$2 pattern=$3 com=$4
  shift 4
  local out=$work/velctl-$name.out
  reset_line "$com"
  timeout 60 "$wine" "$bin/velctl.exe" -p "COM$com" "$@" >"$out" 2>&1 </dev/null
  local rc=$?
  if [[ $rc -eq $expected_rc ]] && LC_ALL=C tr -d '\r' <"$out" | grep -Eq "$pattern"; then
    pass "$name"
  else
    echo "exit status $rc; output:"
    LC_ALL=C tail -10 "$out"
    fail "$name"
  fi
}
if [[ -x $bin/velctl.exe ]]; then
  run_velctl Velctl.FxReadHex 0 '^D11 = 0xBEEF$' $fx_velcon read -t hex D10 2
  run_velctl Velctl.ARead 0 '^D10 = 4660 \(0x1234\)$' $a_velcon -f a read D10 1
  run_velctl Velctl.FxTimeOut 1 '^velctl: read D0 1: time-out: .* \(-1\)$' 3 read D0 1
else
  skip "Velctl: velctl.exe was not built"
fi

summary
