#!/usr/bin/env bash
# Installs the dependencies, builds with warnings as errors and runs every test, then the
# same tests built with the sanitizers, then a short fuzzing smoke.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DNORVANE_WERROR=ON
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 1200

# The same suite built with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# (NORVANE_SANITIZE=0 skips it). Every report, also of the programs that the tests start
# (the journey's signer, second instances), goes to a file of build-asan/sanitizer-reports;
# any report fails the run. The leaks known and left to their owners are suppressed, by our
# own frame, in tests/lsan-*.supp.
if [ "${NORVANE_SANITIZE:-1}" != 0 ]; then
  asan="$root/build-asan"
  flags="-O1 -gline-tables-only -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined"
  CC=clang CXX=clang++ "$root/scripts/build.sh" "$asan" -DNORVANE_WERROR=ON -DNORVANE_BENCHMARKS=OFF \
    -DCMAKE_BUILD_TYPE=None "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" \
    ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER}
  reports="$asan/sanitizer-reports"
  rm -rf "$reports" && mkdir -p "$reports"
  suppressions="$(mktemp)"
  cat "$root"/tests/lsan-*.supp >"$suppressions"
  cd "$asan"
  set +e
  # A full unwinding at each allocation: the libraries' frames have no frame pointers, and
  # the suppressions name the frame of ours below them.
  ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:log_path=$reports/asan" \
  LSAN_OPTIONS="suppressions=$suppressions:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 1200
  status=$?
  set -e
  rm -f "$suppressions"
  found="$(find "$reports" -type f | wc -l)"
  echo "Relatórios dos sanitizers: $found"
  if [ "$found" -gt 0 ]; then
    for report in "$reports"/*; do echo "== $report"; head -40 "$report"; done
    exit 1
  fi
  [ "$status" -eq 0 ] || exit "$status"
fi
# A short fuzzing smoke of every harness (fuzz/); NORVANE_FUZZ_SECONDS=0 skips it.
if [ "${NORVANE_FUZZ_SECONDS:-20}" != 0 ]; then
  # A fixed seed and a fixed count: a faster machine does not go further than this one. The
  # walk is nearly, not exactly, the same everywhere (some checks read the clock); the time
  # only bounds a slow machine.
  NORVANE_FUZZ_SEED="${NORVANE_FUZZ_SEED:-1}" NORVANE_FUZZ_RUNS="${NORVANE_FUZZ_RUNS:-20000}" \
    "$root/scripts/fuzz.sh" "${NORVANE_FUZZ_SECONDS:-60}"
fi
