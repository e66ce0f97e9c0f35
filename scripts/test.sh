#!/usr/bin/env bash
# Installs the dependencies, builds with warnings as errors and runs every test.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DNORVANE_WERROR=ON
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 1200
# A short fuzzing smoke of every harness (fuzz/); NORVANE_FUZZ_SECONDS=0 skips it.
if [ "${NORVANE_FUZZ_SECONDS:-20}" != 0 ]; then
  # A fixed seed: the smoke walks the same inputs at every run, so that it cannot fail by chance.
  NORVANE_FUZZ_SEED="${NORVANE_FUZZ_SEED:-1}" "$root/scripts/fuzz.sh" "${NORVANE_FUZZ_SECONDS:-20}"
fi
