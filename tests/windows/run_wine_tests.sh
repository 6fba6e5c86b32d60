#!/usr/bin/env bash
# Windows tests of VELDRV on Linux: cross-builds veldrv.dll, velcon.exe and the
# test programs with MinGW-w64, builds the native simulator, and runs the
# Windows programs under Wine against simulated controllers on
# pseudo-terminals that a private Wine prefix maps to COM ports.
#
#   tests/windows/run_wine_tests.sh [win64] [win32] [win32-stdcall]
#
# Builds (all three without arguments):
#   win64          64-bit DLL (build-mingw), in a 64-bit prefix
#   win32          32-bit cdecl DLL (build-mingw32), in a 32-bit prefix
#   win32-stdcall  32-bit __stdcall DLL (build-mingw32-stdcall), same prefix
#
# Needs: cmake, ninja, g++-mingw-w64-x86-64-posix and wine64 (win64),
# g++-mingw-w64-i686-posix and wine32:i386 (win32), a native C++ compiler,
# perl, python3. Environment (all optional): VELDRV_MINGW_BUILD,
# VELDRV_MINGW32_BUILD, VELDRV_MINGW32_STDCALL_BUILD (the build folders);
# VELSIM, a velsim already built (else it is built in VELDRV_SIM_BUILD,
# default build-win-native); VELDRV_KEEP=1 keeps the work folder (prefixes,
# simulator traces, program output).
# Ends with "N passed, M failed[, K skipped]"; exit status 1 on any failure.
set -u

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
here=$root/tests/windows
native=${VELDRV_SIM_BUILD:-$root/build-win-native}
velsim=${VELSIM:-}

variants=("$@")
((${#variants[@]})) || variants=(win64 win32 win32-stdcall)
for v in "${variants[@]}"; do
  case $v in
    win64 | win32 | win32-stdcall) ;;
    *)
      echo "usage: run_wine_tests.sh [win64] [win32] [win32-stdcall]" >&2
      exit 2
      ;;
  esac
done

wine64=$(command -v wine64 || { [[ -x /usr/lib/wine/wine64 ]] && echo /usr/lib/wine/wine64; })
# The 32-bit loader; Debian's /usr/bin/wine picks it when wine32 is installed.
wine32=$( ([[ -x /usr/lib/wine/wine ]] && echo /usr/lib/wine/wine) || command -v wine)
wineserver=$(command -v wineserver || { [[ -x /usr/lib/wine/wineserver ]] && echo /usr/lib/wine/wineserver; })

work=$(mktemp -d /tmp/veldrv-wine.XXXXXX)
dev=$work/dev  # the simulators' COM links; nothing else is mapped
mkdir -p "$dev"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer
export VELDRV_DEVICE_DIR=$dev               # in case anything native opens a port
unset DISPLAY WAYLAND_DISPLAY

passed=0
failed=0
skipped=0
sim_pids=()
variant=""
wine=""

pass() {
  passed=$((passed + 1))
  echo "[       OK ] $variant.$1"
}
fail() {
  failed=$((failed + 1))
  echo "[  FAILED  ] $variant.$1"
}
skip() {
  skipped=$((skipped + 1))
  echo "[  SKIPPED ] $variant.$1"
}

stop_simulators() {
  for pid in "${sim_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null; done
  sim_pids=()
  rm -f "$dev"/COM*
}

stop_wine() {
  if [[ -n $wineserver && -n ${WINEPREFIX:-} && -d $WINEPREFIX ]]; then "$wineserver" -k >/dev/null 2>&1; fi
}

finish() {
  stop_simulators
  for prefix in "$work"/prefix-*; do
    [[ -d $prefix ]] && WINEPREFIX=$prefix stop_wine
  done
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
  sed -i 's/\r$//' "$log" # the programs write text-mode line ends
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
  echo "$variant $name: $p passed, $f failed, $s skipped (exit $rc)"
  if [[ $rc -ne 0 && $f -eq 0 ]]; then fail "$name exit status $rc"; fi
}

variant=tools
echo "== tools"
for tool in cmake ninja perl stty python3; do
  command -v "$tool" >/dev/null || { fail "missing $tool"; summary; exit 1; }
done
[[ -n $wineserver ]] || { fail "missing wineserver"; summary; exit 1; }

variant=native
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
    tail -n 40 "$work/sim-configure.log" "$work/sim-build.log"
    fail "Build.Simulator"
    summary
    exit 1
  fi
fi

# A Wine prefix of one architecture, made once and shared by the builds of
# that architecture. Wine gives the machine's serial devices the COM names
# that the registry leaves free, the lowest first (up to COM256); the
# registry entries take COM1..COM255, all of them pointing into the work
# folder (most at missing files), so that a real device can only ever be
# COM256, a name no test uses. The check below makes sure of it.
last_mapped_com=255
prepare_prefix() {
  local arch=$1
  export WINEPREFIX=$work/prefix-$arch WINEARCH=$arch
  [[ -d $WINEPREFIX ]] && return 0
  echo "== Wine prefix ($WINEPREFIX, $arch)"
  {
    echo "REGEDIT4"
    echo
    echo "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"
    for n in $(seq 1 $last_mapped_com); do echo "\"COM$n\"=\"$dev/COM$n\""; done
  } >"$work/ports.reg"
  if run_wine 180 "$work/wineboot-$arch.log" wineboot -i &&
    run_wine 60 "$work/reg-$arch.log" reg import "$work/ports.reg" &&
    { "$wineserver" -k >/dev/null 2>&1; "$wineserver" -w >/dev/null 2>&1; true; } &&
    run_wine 60 "$work/restart-$arch.log" cmd /c exit; then
    local bad_links="" target name
    for n in $(seq 1 $last_mapped_com); do
      target=$(readlink "$WINEPREFIX/dosdevices/com$n")
      [[ $target == "$dev/COM$n" ]] || bad_links+=" com$n->${target:-none}"
    done
    for link in "$WINEPREFIX"/dosdevices/com*; do
      name=$(basename "$link")
      if [[ $name == com256 ]]; then
        echo "COM256 is the machine's $(readlink "$link") (no test names it)"
      elif ! [[ ${name#com} =~ ^[1-9][0-9]*$ && ${name#com} -le $last_mapped_com ]]; then
        bad_links+=" $name->$(readlink "$link")"
      fi
    done
    if [[ -z $bad_links ]]; then
      pass "Wine.PortsMapped"
      # One server for the prefix until the end: a program started just as
      # the server of the last one shuts down loses its connection.
      "$wineserver" -k >/dev/null 2>&1
      "$wineserver" -w >/dev/null 2>&1
      "$wineserver" -p >/dev/null 2>&1
      return 0
    fi
    fail "Wine.PortsMapped:$bad_links"
  else
    tail -n 20 "$work/wineboot-$arch.log" "$work/reg-$arch.log"
    fail "Wine.Prefix"
  fi
  return 1
}

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

# COM ports: velcon can only name COM1 and COM2, so its controllers sit there;
# the test program's own controllers sit on COM10 and COM11, names that need
# the \\.\ prefix. COM3..COM7 carry injected faults (COM5 is also reached as
# port 0 through VELDRV_COM1). COM12 is a line nobody reads. Every other COM
# port up to COM255 is mapped to a missing file in the work folder.
fx_velcon=1 a_velcon=2 fx_com=10 a_com=11 missing_com=8 blocked_com=12 renamed="5,-6"
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

# Simulators with fresh memory for each build, and the blocked line: a
# pseudo-terminal whose other end is held open and never read.
start_simulators() {
  local logs=$1
  for com in "${!sim_args[@]}"; do
    # shellcheck disable=SC2086
    "$velsim" ${sim_args[$com]} --dir "$dev" --com "$com" >"$logs/sim$com.log" 2>&1 &
    sim_pids+=($!)
  done
  python3 -c '
import os, sys, time, tty
master, slave = os.openpty()
tty.setraw(slave)
os.symlink(os.ttyname(slave), sys.argv[1])
print("blocked line ready", flush=True)
while True:
    time.sleep(3600)
' "$dev/COM$blocked_com" >"$logs/blocked.log" 2>&1 &
  sim_pids+=($!)
  for com in "${!sim_args[@]}"; do
    for _ in $(seq 1 100); do
      grep -q '^velsim: .* on ' "$logs/sim$com.log" && break
      sleep 0.1
    done
    if ! grep -q '^velsim: .* on ' "$logs/sim$com.log"; then
      cat "$logs/sim$com.log"
      fail "Simulator.COM$com"
      return 1
    fi
  done
  for _ in $(seq 1 100); do
    grep -q 'ready' "$logs/blocked.log" && break
    sleep 0.1
  done
  grep -q 'ready' "$logs/blocked.log" || { cat "$logs/blocked.log"; fail "BlockedLine"; return 1; }
  echo "started ${#sim_args[@]} simulators and the blocked line on COM$blocked_com"
}

# The same controllers behind loopback TCP ports (velsim --listen), for a
# second run of the test program with VELDRV_COM<n>=tcp://127.0.0.1:PORT in
# its environment: the variable wins over the COM port the registry maps.
declare -A tcp_args=(
  [10]="--family fx --memory $work/image.bin --trace"
  [11]="--family a --memory $work/image.bin --trace"
  [3]="--family fx --fault silent"
  [6]="--family fx --fault wrong-checksum"
  [7]="--family a --fault silent"
  [9]="--family a --fault wrong-checksum"
)
# shellcheck disable=SC2054
tcp_expects=(
  --expect 3,fx,-1,TcpFxSilentController
  --expect 6,fx,-3,TcpFxWrongChecksum
  --expect 7,a,-1,TcpASilentController
  --expect 9,a,-6,TcpAWrongChecksum
)
tcp_env=()
start_tcp_simulators() {
  local logs=$1
  tcp_env=()
  for com in "${!tcp_args[@]}"; do
    # shellcheck disable=SC2086
    "$velsim" ${tcp_args[$com]} --listen 127.0.0.1:0 >"$logs/tcp$com.log" 2>&1 &
    sim_pids+=($!)
  done
  for com in "${!tcp_args[@]}"; do
    local address=""
    for _ in $(seq 1 100); do
      address=$(grep -o 'tcp://127\.0\.0\.1:[0-9]*' "$logs/tcp$com.log" | head -1)
      [[ -n $address ]] && break
      sleep 0.1
    done
    [[ -n $address ]] || { cat "$logs/tcp$com.log"; fail "Simulator.Tcp$com"; return 1; }
    tcp_env+=("VELDRV_COM$com=$address")
  done
  echo "started ${#tcp_args[@]} simulators on loopback TCP ports: ${tcp_env[*]}"
}

# The same through RFC 2217 servers (velsim --listen-rfc2217), with
# VELDRV_COM<n>=rfc2217://127.0.0.1:PORT: the library sets each server's
# line, which the simulators' traces show; one server puts notifications
# inside its answers, one refuses the COM-PORT option.
declare -A rfc_args=(
  [10]="--family fx --memory $work/image.bin --trace"
  [11]="--family a --memory $work/image.bin --trace"
  [3]="--family fx --fault silent"
  [9]="--family a --fault wrong-checksum --rfc2217-fault notify"
  [13]="--family fx --rfc2217-fault refuse-option"
)
# shellcheck disable=SC2054
rfc_expects=(
  --expect 3,fx,-1,Rfc2217FxSilentController
  --expect 9,a,-6,Rfc2217AWrongChecksumAmidNotifications
  --refused "13,Rfc2217OptionRefused,the server refused the COM-PORT option"
)
rfc_env=()
start_rfc2217_simulators() {
  local logs=$1
  rfc_env=()
  for com in "${!rfc_args[@]}"; do
    # shellcheck disable=SC2086
    "$velsim" ${rfc_args[$com]} --listen-rfc2217 127.0.0.1:0 >"$logs/rfc$com.log" 2>&1 &
    sim_pids+=($!)
  done
  for com in "${!rfc_args[@]}"; do
    local address=""
    for _ in $(seq 1 100); do
      address=$(grep -o 'rfc2217://127\.0\.0\.1:[0-9]*' "$logs/rfc$com.log" | head -1)
      [[ -n $address ]] && break
      sleep 0.1
    done
    [[ -n $address ]] || { cat "$logs/rfc$com.log"; fail "Simulator.Rfc2217_$com"; return 1; }
    rfc_env+=("VELDRV_COM$com=$address")
  done
  echo "started ${#rfc_args[@]} RFC 2217 simulators on loopback TCP ports: ${rfc_env[*]}"
}

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

# Wine on a pseudo-terminal refuses to re-apply 7E1/8O1 to a line that has it
# (error 87): reset the line from the Linux side before the program opens it.
reset_line() {
  stty -F "$dev/COM$1" raw -echo cs8 -parenb 9600 clocal cread 2>/dev/null
}
# Menu item 4: read 2 data register words from word 10; the two waits for a
# key take the line ends; then 0 ends the program.
run_velcon() {
  local name=$1 com=$2 family=$3 frame=$4 logs=$5 bin=$6
  local out=$logs/velcon-$family.out
  reset_line "$com"
  printf '4\n10\n2\n\n\n0\n' >"$logs/velcon.in"
  timeout 60 "$wine" "$bin/velcon.exe" "COM$com" "$family" <"$logs/velcon.in" >"$out" 2>&1
  local rc=$?
  local text
  text=$(LC_ALL=C tr -d '\r' <"$out")
  if [[ $rc -eq 0 ]] && grep -q '^Lese DReg' <<<"$text" &&
    grep -Eq 'DW +10 = 1234 ' <<<"$text" && grep -Eq 'DW +11 = beef ' <<<"$text" &&
    grep -Eq "$frame" "$logs/sim$com.log"; then
    pass "$name"
  else
    echo "exit status $rc; output:"
    LC_ALL=C tail -25 "$out"
    fail "$name"
  fi
}

# velctl.exe: reads on velcon's controllers, then a time-out on the silent one.
run_velctl() {
  local name=$1 expected_rc=$2 pattern=$3 com=$4 logs=$5 bin=$6
  shift 6
  local out=$logs/velctl-$name.out
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

# One build: cross-build it, check the DLL, and run every Windows program
# against fresh simulators.
run_variant() {
  variant=$1
  local build toolchain compiler arch format convention options=()
  case $variant in
    win64)
      build=${VELDRV_MINGW_BUILD:-$root/build-mingw}
      toolchain=mingw-w64.cmake compiler=x86_64-w64-mingw32-g++-posix
      arch=win64 format=pe32+ convention="" wine=$wine64
      ;;
    win32)
      build=${VELDRV_MINGW32_BUILD:-$root/build-mingw32}
      toolchain=mingw-w64-i686.cmake compiler=i686-w64-mingw32-g++-posix
      arch=win32 format=pe32 convention=cdecl wine=$wine32
      ;;
    win32-stdcall)
      build=${VELDRV_MINGW32_STDCALL_BUILD:-$root/build-mingw32-stdcall}
      toolchain=mingw-w64-i686.cmake compiler=i686-w64-mingw32-g++-posix
      arch=win32 format=pe32 convention=stdcall wine=$wine32 options=(-DVELDRV_STDCALL=ON)
      ;;
  esac
  local bin=$build/bin logs=$work/$variant
  mkdir -p "$logs"
  echo
  echo "==== $variant"
  command -v "$compiler" >/dev/null || { fail "missing $compiler"; return; }
  [[ -n $wine ]] || { fail "missing the Wine loader for $arch"; return; }

  echo "== cross build ($build)"
  if cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DVELDRV_WERROR=ON "${options[@]}" >"$logs/cross-configure.log" 2>&1 &&
    cmake --build "$build" -j2 >"$logs/cross-build.log" 2>&1; then
    pass "Build.MinGW"
  else
    tail -n 40 "$logs/cross-configure.log" "$logs/cross-build.log"
    fail "Build.MinGW"
    return
  fi

  if [[ $variant == win64 ]]; then
    # One convention on 64-bit Windows: the stdcall option is refused.
    if ! cmake -S "$root" -B "$logs/stdcall-refused" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
      -DVELDRV_STDCALL=ON >"$logs/stdcall-refused.log" 2>&1 &&
      grep -q "VELDRV_STDCALL is for 32-bit Windows builds only" "$logs/stdcall-refused.log"; then
      pass "Build.StdcallRefused"
    else
      tail -20 "$logs/stdcall-refused.log"
      fail "Build.StdcallRefused"
    fi
  fi

  echo "== DLL exports, format, convention and runtime"
  if "$here/check_dll.sh" "$bin" "$format" "$convention"; then
    pass "Dll.ExportsAndOrdinals"
  else
    fail "Dll.ExportsAndOrdinals"
  fi

  prepare_prefix "$arch" || return
  echo "== simulators"
  start_simulators "$logs" || { stop_simulators; return; }

  echo "== import library"
  run_wine 60 "$logs/import.log" "$bin/veldrv_import_check.exe"
  count_program veldrv_import_check "$logs/import.log" $?

  echo "== exports against the simulators"
  run_wine 300 "$logs/e2e.log" "$bin/veldrv_wine_test.exe" --fx $fx_com --a $a_com --image \
    --missing $missing_com --renamed $renamed "${expects[@]}"
  count_program veldrv_wine_test "$logs/e2e.log" $?

  echo "== exports over TCP (velsim --listen on 127.0.0.1, Winsock)"
  if start_tcp_simulators "$logs"; then
    env "${tcp_env[@]}" timeout 300 "$wine" "$bin/veldrv_wine_test.exe" --fx $fx_com --a $a_com --image \
      "${tcp_expects[@]}" >"$logs/tcp-e2e.log" 2>&1 </dev/null
    count_program veldrv_wine_test_tcp "$logs/tcp-e2e.log" $?
    check_frames Tcp.FxSplitFrames "$logs/tcp$fx_com.log" "write 0x1064 n=254 " "write 0x1162 n=254 " \
      "write 0x1260 n=92 " "read +0x1064 n=254 " "read +0x1162 n=254 " "read +0x1260 n=92 "
    check_frames Tcp.ASplitFrames "$logs/tcp$a_com.log" "write 0x8864 n=254 " "write 0x8962 n=254 " \
      "write 0x8A60 n=92 " "read +0x8864 n=254 " "read +0x8962 n=254 " "read +0x8A60 n=92 "
  fi

  echo "== exports over RFC 2217 (velsim --listen-rfc2217 on 127.0.0.1, Winsock)"
  if start_rfc2217_simulators "$logs"; then
    env "${rfc_env[@]}" timeout 300 "$wine" "$bin/veldrv_wine_test.exe" --fx $fx_com --a $a_com --image \
      "${rfc_expects[@]}" >"$logs/rfc-e2e.log" 2>&1 </dev/null
    count_program veldrv_wine_test_rfc2217 "$logs/rfc-e2e.log" $?
    check_frames Rfc2217.FxLineAndFrames "$logs/rfc$fx_com.log" "rfc2217 client data size 7" \
      "rfc2217 client parity even" "rfc2217 client no flow control" "write 0x1064 n=254 " "read +0x1260 n=92 "
    check_frames Rfc2217.ALineRtsAndFrames "$logs/rfc$a_com.log" "rfc2217 client data size 8" \
      "rfc2217 client parity odd" "rfc2217 client RTS off" "write 0x8864 n=254 " "read +0x8A60 n=92 "
  fi

  echo "== serial backend"
  run_wine 60 "$logs/device.log" "$bin/veldrv_device_test.exe" --blocked $blocked_com
  count_program veldrv_device_test "$logs/device.log" $?

  if [[ -n $convention ]]; then
    echo "== calling convention"
    local other=cdecl
    [[ $convention == cdecl ]] && other=stdcall
    run_wine 60 "$logs/convention.log" "$bin/veldrv_convention_check.exe" --convention "$convention" --fx $fx_com
    count_program veldrv_convention_check "$logs/convention.log" $?
    # The check can fail: a caller of the other convention finds out that
    # the functions remove what it did not expect.
    run_wine 60 "$logs/convention-other.log" "$bin/veldrv_convention_check.exe" --convention "$other"
    local rc=$?
    sed -i 's/\r$//' "$logs/convention-other.log"
    local removed=8
    [[ $convention == cdecl ]] && removed=0
    if [[ $rc -eq 1 ]] &&
      grep -q "VelOpen by ordinal 2: the function removed $removed bytes of arguments; a $other function" \
        "$logs/convention-other.log"; then
      pass "Convention.${other^}CallerFindsMismatch"
    else
      cat "$logs/convention-other.log"
      fail "Convention.${other^}CallerFindsMismatch (exit $rc)"
    fi
  fi

  check_frames Trace.FxSplitFrames "$logs/sim$fx_com.log" \
    "write 0x1064 n=254 " "write 0x1162 n=254 " "write 0x1260 n=92 " \
    "read +0x1064 n=254 " "read +0x1162 n=254 " "read +0x1260 n=92 " \
    "write 0x17D0 n=254 " "write 0x18CE n=254 " "write 0x19CC n=92 "
  check_frames Trace.ASplitFrames "$logs/sim$a_com.log" \
    "write 0x8864 n=254 " "write 0x8962 n=254 " "write 0x8A60 n=92 " \
    "read +0x8864 n=254 " "read +0x8962 n=254 " "read +0x8A60 n=92 " \
    "write 0x8FD0 n=254 " "write 0x90CE n=254 " "write 0x91CC n=92 "

  echo "== velcon"
  if [[ -x $bin/velcon.exe ]]; then
    run_velcon Velcon.FxReadRegisterWords $fx_velcon FX "read +0x1014 n=4 -> 34 12 EF BE" "$logs" "$bin"
    run_velcon Velcon.AReadRegisterWords $a_velcon A "read +0x8814 n=4 -> 34 12 EF BE" "$logs" "$bin"
  else
    skip "Velcon: velcon.exe was not built"
  fi

  echo "== velctl"
  if [[ -x $bin/velctl.exe ]]; then
    run_velctl Velctl.FxReadHex 0 '^D11 = 0xBEEF$' $fx_velcon "$logs" "$bin" read -t hex D10 2
    run_velctl Velctl.ARead 0 '^D10 = 4660 \(0x1234\)$' $a_velcon "$logs" "$bin" -f a read D10 1
    run_velctl Velctl.FxTimeOut 1 '^velctl: read D0 1: COM3 \(.*\): .* \(-1\)$' 3 "$logs" "$bin" read D0 1
  else
    skip "Velctl: velctl.exe was not built"
  fi
  stop_simulators
}

for v in "${variants[@]}"; do run_variant "$v"; done
echo
summary
