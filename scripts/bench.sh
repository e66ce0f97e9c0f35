#!/usr/bin/env bash
# Builds optimised (Release) and runs every benchmark; each prints its measures as ratios
# against a baseline measured in the same run. Not part of the tests.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$root/build-bench}"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" --parallel "$(nproc)" --target bench_packaging bench_service bench_signing bench_batch bench_doctor
status=0
for bench in "$dir"/bench/bench_*; do
  [ -f "$bench" ] && [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  QT_QPA_PLATFORM=offscreen "$bench" || status=1
done
exit $status
