#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang (ASan + UBSan) and runs each for
# SECONDS (default 60) on a copy of its seed corpus, printing the executions and the
# findings of every target. Exit status 1 when any target found something. NORVANE_FUZZ_SEED
# fixes the inputs' sequence (0, the default: a new one each run). Further arguments name
# the targets to run (e.g. `fuzz.sh 300 identity`); none: every target. NORVANE_FUZZ_RUNS
# bounds the inputs tried per target as well: with a fixed seed, a faster machine then goes
# no further (the walk is nearly the same everywhere: some checks read the clock).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
only=" $* "
build="${NORVANE_FUZZ_BUILD:-$root/build-fuzz}"
CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} >/dev/null
cmake --build "$build" --parallel "$(nproc)" >/dev/null

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
export QT_HASH_SEED=0  # hash order, and so the paths taken, the same at every run
status=0
printf '%-10s %12s %9s\n' target executions findings
for harness in "$build"/fuzz_*; do
  target="$(basename "$harness")"; target="${target#fuzz_}"
  [ "$only" = "  " ] || [[ "$only" == *" $target "* ]] || continue
  work="$build/run/$target"
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/findings"
  cp "$root/fuzz/corpus/$target/"* "$work/corpus/" 2>/dev/null || true
  log="$work/log.txt"
  set +e
  "$harness" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -seed="${NORVANE_FUZZ_SEED:-0}" \
    ${NORVANE_FUZZ_RUNS:+-runs=$NORVANE_FUZZ_RUNS} \
    -artifact_prefix="$work/findings/" -print_final_stats=1 "$work/corpus" >"$log" 2>&1
  set -e
  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  findings="$(find "$work/findings" -type f | wc -l)"
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|property violated' "$log"; then
    [ "$findings" -gt 0 ] || findings=1
  fi
  printf '%-10s %12s %9s\n' "$target" "${executions:-?}" "$findings"
  if [ "$findings" -gt 0 ] || [ -z "$executions" ]; then
    status=1
    grep -E 'ERROR:|runtime error:|property violated|SUMMARY' "$log" | head -5 | sed 's/^/    /'
    ls "$work/findings" | sed 's/^/    finding: /'
  fi
done
exit $status
