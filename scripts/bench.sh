#!/usr/bin/env bash
# Builds (Release) and runs the benchmarks; each prints its ratio or timing against a
# baseline measured in the same run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$root/build-bench}"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" --parallel "$(nproc)" --target bench_packaging bench_service
"$dir/bench/bench_packaging"
"$dir/bench/bench_service"
