#!/bin/bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 5, the short CI run). The committed seeds in tests/fuzz/corpus/<target>/ are
# only read; what the fuzzers find grows a work corpus in the build directory,
# next to the crash artifacts and the log of the last run. Exit status 0 when
# every target ran clean, 1 on any crash, leak, failed check or time-out,
# 2 when the build fails.
#
#   tests/fuzz/run_fuzzers.sh          # 5 s per target
#   tests/fuzz/run_fuzzers.sh 600      # the long run
#
# VELDRV_FUZZ_BUILD overrides the build directory (default build-fuzz).
set -u
seconds=${1:-5}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${VELDRV_FUZZ_BUILD:-$root/build-fuzz}
targets=(fx_frames_fuzzer a_frames_fuzzer exports_fuzzer telnet_fuzzer)

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVELDRV_FUZZ=ON -DVELDRV_WERROR=ON || exit 2
fi
cmake --build "$build" -j2 --target "${targets[@]}" || exit 2

failed=0
for target in "${targets[@]}"; do
  work=$build/fuzz-work/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  log=$work/last-run.log
  "$build/bin/$target" "$work/corpus" "$here/corpus/$target" -max_total_time="$seconds" \
    -print_final_stats=1 -timeout=30 -rss_limit_mb=2048 -artifact_prefix="$work/artifacts/" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
  features=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
  corpus=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$done_line")
  if [ "$rc" -eq 0 ]; then
    result=ok
  else
    result="FAILED (exit $rc)"
    failed=1
  fi
  printf '%-17s %9s execs  cov %-5s ft %-6s corpus %-5s %s\n' "$target" "${execs:-?}" "${cov:-?}" \
    "${features:-?}" "${corpus:-?}" "$result"
  if [ "$rc" -ne 0 ]; then
    grep -E 'check failed|^  [^ ]|ERROR: |runtime error|SUMMARY|Test unit written' "$log" | head -8 | sed 's/^/    /'
    echo "    log: $log"
  fi
done
exit $failed
